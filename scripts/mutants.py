#!/usr/bin/env python3
"""Seeds plausible faults into the product code, one at a time, and counts how many the test
suite catches: each fault is applied alone in a scratch worktree, the suite is built and run,
and the fault is reverted.

    scripts/mutants.py [--ref REV] [--tests-from REV] [--only NAME...]

--ref gives the product code (default HEAD), --tests-from the tests/ tree to run against it
(default the same). The end-to-end suite is left out (it takes 100 s a fault).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# name, file, text as it stands, text with the fault
FAULTS = [
    ("attempts one short", "link/mod3964R.cpp",
     "while (attempt != kMaxAttempts)", "while (attempt != kMaxAttempts - 1)"),
    ("no pause after an accepted telegram", "link/mod3964R.cpp",
     "m_clock.sleep(kAcceptPause);", ";"),
    ("ETX before DLE", "link/mod3964R.cpp",
     "ZeichenSchreiben(ctl::DLE);\n        bcc ^= ctl::DLE;\n        ZeichenSchreiben(ctl::ETX);",
     "ZeichenSchreiben(ctl::ETX);\n        bcc ^= ctl::DLE;\n        ZeichenSchreiben(ctl::DLE);"),
    ("block check without ETX", "link/mod3964R.cpp",
     "return bcc ^ ctl::DLE ^ ctl::ETX;", "return bcc ^ ctl::DLE;"),
    ("written byte not recorded", "link/mod3964R.cpp",
     "    m_sink->V24MonWriteBuf(DirPc, Zeichen);", "    ;"),
    ("telegram bound one late", "link/mod3964R.cpp",
     "if (EmpfangLaenge >= kMaxEmpfangLaenge) {", "if (EmpfangLaenge > kMaxEmpfangLaenge) {"),
    ("byte time-out doubled", "link/mod3964R.h",
     "constexpr double kByteTimeout = 1.0;", "constexpr double kByteTimeout = 2.0;"),
    ("demonstration mode inverted", "link/mod3964R.cpp",
     "if (m_host.demoMode())\n        return true;", "if (!m_host.demoMode())\n        return true;"),
    ("NAK to a conflict taken as go-ahead", "link/mod3964R.cpp",
     "            if (antwort == ctl::NAK) {", "            if (antwort == ctl::ETX) {"),
    ("ring wraps one slot early", "monitor/TrafficRecord.h",
     "return slot == kSlots - 1 ? 0 : slot + 1;", "return slot == kSlots - 2 ? 0 : slot + 1;"),
    ("log lines end in LF", "monitor/LogFormat.cpp",
     'const QByteArray kCrLf = QByteArrayLiteral("\\r\\n");',
     'const QByteArray kCrLf = QByteArrayLiteral("\\n");'),
    ("log pairs of 19", "monitor/LogFormat.cpp",
     "if (!structured() && m_count == 20)", "if (!structured() && m_count == 19)"),
    ("monitor shows 126 as hex", "monitor/V24Mon.cpp",
     "if (m_showAscii == 1 && value >= 32 && value <= 126) {",
     "if (m_showAscii == 1 && value >= 32 && value < 126) {"),
    ("no message on a missing acknowledgement", "device/KELM.cpp",
     "        m_panel.showMessage(kDisplayError);", "        {}"),
    ("reset keeps blink flags", "device/KELM.cpp", "    LEDBlinken.fill(0);", "    {}"),
    ("continuous test starts at 0x81", "device/KELM.cpp", "int c = 0x80;", "int c = 0x81;"),
    ("blink and inverse swapped in a line", "device/Telegramme.cpp",
     "t += static_cast<char>(blink ? K::BlinkenEin : K::BlinkenAus);\n    t += static_cast<char>(inverse ? K::InversEin : K::InversAus);",
     "t += static_cast<char>(inverse ? K::InversEin : K::InversAus);\n    t += static_cast<char>(blink ? K::BlinkenEin : K::BlinkenAus);"),
    ("Cancel keeps the chosen port", "config/Dialog.cpp",
     "    m_port.setCommPort(AlterPort);\n    m_port.setTag", "    m_port.setTag"),
    ("every read error a lost port", "link/MSComm.cpp",
     "    if (!deviceGone(&reason)) {", "    if (false) {"),
    ("selector 12 ignored", "app/frmKELM.cpp",
     "c <= K::Wahlschalter1 + 12", "c <= K::Wahlschalter1 + 11"),
    ("journal not fed", "app/frmKELM.cpp", "    m_sinks.add(&m_journal);", "    ;"),
    ("journal keeps one line for both directions", "journal/TrafficJournal.cpp",
     "if (direction != m_direction || now", "if (now"),
    ("check takes any acknowledgement digit", "check/UnitCheck.cpp",
     "if (code == 1)\n        return true;", "if (code != 0)\n        return true;"),
    ("position off the screens used", "config/Remembered.cpp",
     "        if (screen->availableGeometry().intersected(titleBar).width() >= 40) {",
     "        if (screen != nullptr) {"),
    ("port error without its device", "link/MSComm.cpp",
     'return QStringLiteral("Com %1 (%2): %3").arg(m_commPort).arg(m_openDevice, text);',
     "return text;"),
    ("log save reported although cut short", "monitor/LogFormat.cpp",
     "if (file.write(contents) != contents.size()) {", "if (file.write(contents) < 0) {"),
    ("line wait a second short", "link/mod3964R.h",
     "constexpr double kLineWait = 5.0;", "constexpr double kLineWait = 4.0;"),
    ("received byte not recorded", "link/mod3964R.cpp",
     "        m_sink->V24MonWriteBuf(DirUnit, z);", "        ;"),
    ("log columns two wide", "monitor/LogFormat.cpp",
     'const QByteArray kBlankColumn = QByteArrayLiteral("   ");',
     'const QByteArray kBlankColumn = QByteArrayLiteral("  ");'),
    ("continuous test without its pause per character", "device/KELM.cpp",
     "        m_clock.sleep(tS + kTestCharMinimum - m_clock.now());",
     "        m_clock.sleep(tS - m_clock.now());"),
    ("continuous-test wait of 9 s", "device/KELM.h",
     "constexpr double kTestAckWait = 10.0;", "constexpr double kTestAckWait = 9.0;"),
    ("no message when a blink command fails", "device/KELM.cpp",
     "        m_panel.showMessage(kLedError);", "        {}"),
    ("LED on for the next key", "device/Telegramme.cpp",
     "return one(K::LEDEin + key);", "return one(K::LEDEin + key + 1);"),
]


def run(cmd, cwd, env=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, shell=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ref", default="HEAD")
    parser.add_argument("--tests-from", default=None)
    parser.add_argument("--only", nargs="*")
    args = parser.parse_args()
    root = run("git rev-parse --show-toplevel", os.getcwd()).stdout.strip()
    work = tempfile.mkdtemp(prefix="kelm-mutants-")
    run(f"git worktree add -q --detach {work} {args.ref}", root)
    try:
        if args.tests_from:
            run(f"git checkout {args.tests_from} -- tests", work)
        build = os.path.join(work, "build")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        r = run(f"cmake -S . -B {build} -DCMAKE_BUILD_TYPE=RelWithDebInfo && "
                f"cmake --build {build} -j2", work)
        if r.returncode != 0:
            sys.exit("the unchanged tree does not build:\n" + r.stdout[-3000:])
        ctest = f"cd {build} && ctest -j2 -E tst_e2e --timeout 300"
        base = run(ctest, work, env)
        if base.returncode != 0:
            sys.exit("the unchanged tree does not pass its tests:\n" + base.stdout[-4000:])
        caught = 0
        faults = [f for f in FAULTS if not args.only or f[0] in args.only]
        for name, path, old, new in faults:
            file = os.path.join(work, path)
            text = open(file).read()
            if text.count(old) != 1:
                print(f"  ?  {name}: the text to change is not there once", flush=True)
                continue
            open(file, "w").write(text.replace(old, new))
            r = run(f"cmake --build {build} -j2", work)
            if r.returncode != 0:
                verdict, failing = "caught (does not build)", ""
            else:
                t = run(ctest, work, env)
                failing = ", ".join(re.findall(r"^\s*\d+ - (\S+) \(", t.stdout, re.M))
                verdict = "caught" if t.returncode != 0 else "MISSED"
            caught += verdict.startswith("caught")
            print(f"  {'+' if verdict.startswith('caught') else '-'}  {name}: {verdict}"
                  f"{' by ' + failing if failing else ''}", flush=True)
            open(file, "w").write(text)
        print(f"caught {caught} of {len(faults)}")
    finally:
        run(f"git worktree remove --force {work}", root)


if __name__ == "__main__":
    main()
