// The log file formatter over arbitrary records, ring positions and file kinds.
#include "monitor/LogFormat.h"

#include <QList>

#include <cstdio>
#include <cstdlib>

using namespace kelm;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed: %s\n", #cond);                                     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 5)
        return 0;
    static TrafficRecord record;
    record.BufStart = std::int16_t(((data[0] << 8) | data[1]) % TrafficRecord::kSlots);
    record.BufWrite = std::int16_t(((data[2] << 8) | data[3]) % TrafficRecord::kSlots);
    const auto kind = SaveKind(data[4] % 4);
    // The record's bytes come from the input, repeated to fill the ring.
    for (int s = 0; s < TrafficRecord::kSlots; ++s) {
        const std::uint8_t b = size > 5 ? data[5 + s % (size - 5)] : 0;
        record.BufValue[s] = b;
        record.BufDir[s] = (b ^ s) & 1;
    }
    const QByteArray file = formatLog(record, kind, QStringLiteral("d"), QStringLiteral("t"));

    const QList<QByteArray> lines = file.split('\n');
    CHECK(lines.last().isEmpty()); // the file ends with a line end
    const qsizetype n = lines.size() - 1;
    CHECK(n >= 5 && (n - 2) % 3 == 0);
    long columns = 0;
    for (qsizetype i = 0; i < n; ++i)
        CHECK(lines[i].endsWith('\r'));
    for (qsizetype i = 2; i < n; i += 3) {
        const QByteArray pc = lines[i].chopped(1), unit = lines[i + 1].chopped(1);
        CHECK(pc.startsWith("PC:  ") && unit.startsWith("KELM: "));
        CHECK(pc.size() - 5 == unit.size() - 6 && (pc.size() - 5) % 3 == 0);
        CHECK(lines[i + 2].chopped(1) == QByteArray(65, '-'));
        const long pair = long(pc.size() - 5) / 3;
        if (kind == SaveKind::Hex || kind == SaveKind::Ascii)
            CHECK(pair == 20 || i + 3 == n);
        columns += pair;
    }
    CHECK(columns == record.count());
    return 0;
}
