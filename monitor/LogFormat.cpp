#include "monitor/LogFormat.h"

#include "link/WholeFile.h"

#include <cerrno>

namespace kelm {

namespace {

const QByteArray kRule(65, '-');
const QByteArray kPrefixPc = QByteArrayLiteral("PC:  ");
const QByteArray kPrefixUnit = QByteArrayLiteral("KELM: ");
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QByteArray kBlankColumn = QByteArrayLiteral("   ");

constexpr std::uint8_t kStx = 2;
constexpr std::uint8_t kDle = 16;

class PairWriter
{
public:
    PairWriter(const TrafficRecord &record, SaveKind kind, QByteArray &out)
        : m_record(record), m_kind(kind), m_out(out), m_pc(kPrefixPc), m_unit(kPrefixUnit)
    {
    }

    bool structured() const
    {
        return m_kind == SaveKind::HexStructured || m_kind == SaveKind::AsciiStructured;
    }
    bool ascii() const { return m_kind == SaveKind::Ascii || m_kind == SaveKind::AsciiStructured; }

    void flush()
    {
        m_out += m_pc + kCrLf + m_unit + kCrLf + kRule + kCrLf;
        m_pc = kPrefixPc;
        m_unit = kPrefixUnit;
        m_count = 0;
    }

    // V24MonSaveByte: slot i, with its successor j (or -1 for the newest record).
    void add(int i, int j)
    {
        const auto &v = m_record.BufValue;
        const auto &d = m_record.BufDir;
        if (structured()) {
            // An STX answered by DLE from the other side opens a new exchange.
            if (j >= 0 && v[i] == kStx && v[j] == kDle && d[i] != d[j] &&
                m_pc.size() > kPrefixPc.size())
                flush();
        } else {
            ++m_count;
        }
        const QByteArray text = columnText(v[i]);
        if (d[i] == 0) {
            m_pc += text;
            m_unit += kBlankColumn;
        } else {
            m_unit += text;
            m_pc += kBlankColumn;
        }
        if (!structured() && m_count == 20)
            flush();
    }

private:
    QByteArray columnText(std::uint8_t value) const
    {
        if (ascii() && value >= 32 && value <= 126)
            return QByteArray(1, static_cast<char>(value)) + "  ";
        return V24MonHex(value) + ' ';
    }

    const TrafficRecord &m_record;
    SaveKind m_kind;
    QByteArray &m_out;
    QByteArray m_pc;
    QByteArray m_unit;
    int m_count = 0;
};

} // namespace

QByteArray V24MonHex(std::uint8_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    const char hex[] = {digits[value >> 4], digits[value & 15]};
    return QByteArray(hex, 2);
}

QByteArray formatLog(const TrafficRecord &record, SaveKind kind, const QString &dateText,
                     const QString &timeText)
{
    QByteArray out;
    const int n = record.count();
    out.reserve(200 + n * 8 + (n / 20 + 1) * 80);
    out += "Date: " + dateText.toLatin1() + "         Time: " + timeText.toLatin1() + kCrLf;
    out += kRule + kCrLf;
    PairWriter writer(record, kind, out);
    for (int k = 0; k < n; ++k)
        writer.add(record.slotOf(k), k + 1 < n ? record.slotOf(k + 1) : -1);
    writer.flush();
    return out;
}

QString logDateText(const QDate &date, const QLocale &locale)
{
    const QString text = locale.toString(date, QLocale::ShortFormat);
    for (QChar c : text)
        if (c.unicode() > 0xFF)
            return date.toString(Qt::ISODate);
    return text;
}

bool writeLogFile(const QString &path, const QByteArray &contents, QString *error)
{
    return saveWholeFile(path, contents, error);
}

} // namespace kelm
