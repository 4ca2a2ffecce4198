#!/usr/bin/env python3
"""Seeds plausible faults into the product code, one at a time, and counts how many the test
suite catches: each fault is applied alone in a scratch worktree, the suite is built and run,
and the fault is reverted.

    scripts/mutants.py [--ref REV] [--tests-from REV] [--only NAME...] [--list]
    scripts/mutants.py --random N --seed S [--pick K...] [--drawn-at REV] [--with-e2e] [--list]
                       [--ref REV] [--tests-from REV]

Without --random the fixed list below runs: the faults the tests were written against, kept as
the regression set. --random N --seed S draws N places at random across the product code (every
C++ file outside tests/, sim/, bench/, docs/ and the like) and applies one standard change at
each: a relational operator moved across its boundary, a condition negated, an integer constant
one up or down, a call or statement dropped, two arguments of one kind swapped, an enum value or
a named constant of the same group, or a bool literal swapped. The same seed draws the same
faults from the same code. A fault that does not build (-Werror) is reported and left out of the
score. The test programs run two at a time, as CI runs them, each with a time limit (a hang
counts as caught), and a fault's run stops when the first of them fails.

--ref gives the product code (default HEAD), --tests-from the tests/ tree to run against it
(default the same). The end-to-end suite is left out (it takes 100 s a fault); --with-e2e runs
it for the random faults the other programs miss. --list prints the faults and runs nothing.
--work DIR keeps the scratch worktree and its build in DIR, to be used again by the next run.
--pick K... runs only those numbers of the draw (as --list numbers them). --drawn-at REV draws
the faults from the code at REV and seeds each into --ref where its line still stands (the
nearest to its old place): the survivors of an earlier run tried against the code and tests of
today, with the numbers they had.
Every build and test run holds /tmp/kelm-build.lock (flock), one fault at a time, so that
others sharing the machine build and test between faults.
"""
import argparse
import bisect
import contextlib
import fcntl
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

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


LOCK = os.environ.get("KELM_BUILD_LOCK", "/tmp/kelm-build.lock")
# Top-level folders that are not the product: the tests themselves, the simulated unit they run
# against, the benchmark, documents, packaging and helpers.
NOT_PRODUCT = {"tests", "sim", "bench", "docs", "packaging", "scripts", "resources"}
UNIT_TESTS = ["tst_monitor", "tst_link", "tst_device", "tst_check"]
E2E = "tst_e2e"


def run(cmd, cwd, env=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, shell=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


@contextlib.contextmanager
def build_lock():
    """The lock every build and test run on this machine takes, as flock(1) takes it. Python
    opens the file close-on-exec, so no build tool or helper started under the lock keeps
    holding it after this process lets go."""
    with open(LOCK, "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)
    # A moment before the next fault asks again, so that a build waiting for the lock gets it.
    time.sleep(0.5)


# ---------------------------------------------------------------------------------------------
# Where faults can go: the product code with comments, literals and directives blanked out.

def blank(text):
    """The text with comments, string and character literals and preprocessor lines replaced
    by spaces (line breaks kept), so that offsets still match the text itself."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True

    def wipe(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            j = i
            while j < n and text[j] != "\n":
                j += 2 if text[j] == "\\" and j + 1 < n else 1
            # A directive may end in a comment that runs on; blank it to its end.
            block = text.find("/*", i, j)
            if block >= 0:
                end = text.find("*/", block)
                j = max(j, n if end < 0 else end + 2)
            wipe(i, j)
            i = j
            continue
        line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            wipe(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            wipe(i, j)
            i = j
        elif c == '"' and i > 0 and text[i - 1] == "R":
            m = re.compile(r'"([^()\\ ]{0,16})\(').match(text, i)
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            wipe(i - 1, j)
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum() \
                    and re.match(r"[0-9a-fA-F]", text[i - 1]) and re.search(r"\b\d[\w']*$", text[:i]):
                i += 1  # a digit separator
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            wipe(i, j + 1)
            i = j + 1
        else:
            i += 1
    masked = "".join(out)
    # Declarations about the code rather than code: compile-time checks and Qt's meta macros.
    for m in re.finditer(r"\b(static_assert|Q_PROPERTY|Q_DECLARE_\w+|Q_ENUM|Q_FLAG|Q_CLASSINFO"
                         r"|Q_INTERFACES|Q_UNUSED|alignas|sizeof|alignof|decltype)\s*\(", masked):
        end = closing(masked, m.end() - 1)
        if end > 0:
            masked = masked[:m.start()] + re.sub(r"[^\n]", " ", masked[m.start():end + 1]) + \
                masked[end + 1:]
    masked = re.sub(r"\[\[[^\]]*\]\]", lambda m: " " * len(m.group(0)), masked)
    return masked


def closing(masked, open_at):
    """The offset of the bracket that closes the one at open_at, or -1."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    if masked[open_at] not in pairs:
        return -1
    stack = []
    for k in range(open_at, len(masked)):
        ch = masked[k]
        if ch in pairs:
            stack.append(pairs[ch])
        elif ch in ")]}":
            if not stack or stack.pop() != ch:
                return -1
            if not stack:
                return k
    return -1


def code_flags(masked):
    """For each offset: whether it lies in a function body (or a block inside one) rather than
    at namespace or class level or in a braced initializer."""
    flags = bytearray(len(masked))
    stack = []
    for k, ch in enumerate(masked):
        if ch == "{":
            before = masked[:k].rstrip()
            while True:
                stripped = re.sub(r"\b(const|override|noexcept|final|mutable)$", "", before).rstrip()
                stripped = re.sub(r"->\s*[\w:<>,\s*&]+$", "", stripped).rstrip() \
                    if re.search(r"\)\s*->\s*[\w:<>,\s*&]+$", stripped) else stripped
                if stripped == before:
                    break
                before = stripped
            inside = bool(stack) and stack[-1]
            if before.endswith((")", "]")) or re.search(r"\b(else|do|try)$", before):
                kind = True
            elif before.endswith((";", "{", "}")) or (before.endswith(":") and not before.endswith("::")):
                kind = inside
            else:
                kind = False
            stack.append(kind)
        elif ch == "}":
            if stack:
                stack.pop()
        if stack and stack[-1]:
            flags[k] = 1
    return flags


KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "catch", "decltype", "alignof",
            "noexcept", "operator", "static_assert", "static_cast", "const_cast",
            "reinterpret_cast", "dynamic_cast", "alignas", "throw", "new", "delete", "case",
            "typeid", "co_return", "co_await", "co_yield", "defined", "template"}
TYPE_WORDS = {"int", "unsigned", "signed", "char", "short", "long", "bool", "double", "float",
              "void", "auto", "const", "size_t", "qint64", "quint8", "quint16", "qsizetype"}
INT_RE = re.compile(r"^(0[xX][0-9a-fA-F']+|[0-9][0-9']*)([uU]?[lL]{0,2}|[lL]{1,2}[uU])$")
NAME_RE = re.compile(r"^[A-Za-z_]\w*((::|\.|->)[A-Za-z_]\w*)*$")


def arg_kind(arg):
    """What an argument is, for swapping it only with one of the same kind; None to leave it."""
    arg = arg.strip()
    if INT_RE.match(arg.lstrip("-")):
        return "int"
    if re.match(r"^-?(\d+\.\d*|\.\d+)([eE][+-]?\d+)?[fF]?$", arg):
        return "float"
    if re.match(r'^(\w+\()?"([^"\\]|\\.)*"\)?$', arg):
        return "string"
    if re.match(r"^'([^'\\]|\\.)+'$", arg):
        return "char"
    if arg in ("true", "false"):
        return "bool"
    if NAME_RE.match(arg) and arg not in TYPE_WORDS and not re.match(r"^(Q[A-Z]|std::)", arg):
        return "name"
    return None


def name_shape(name):
    """Names swapped only with names of the same shape (two constants, two members, two of one
    enum, two locals), as a stand-in for the same type."""
    for shape in (r"^k[A-Z]", r"^m_", r"^[A-Za-z_]\w*::", r"^[a-z]", r"^[A-Z]"):
        m = re.match(shape, name)
        if m:
            return m.group(0) if shape.endswith("::") else shape
    return None


def step_int(literal, delta):
    m = INT_RE.match(literal)
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    if digits[:2] in ("0x", "0X"):
        value = int(digits, 16) + delta
        if value < 0:
            return None
        width = len(digits) - 2
        hexed = format(value, "x" if digits[2:].islower() else "X").rjust(width, "0")
        return digits[:2] + hexed + suffix
    value = int(digits, 8 if len(digits) > 1 and digits[0] == "0" else 10) + delta
    if value < 0 or (len(digits) > 1 and digits[0] == "0"):
        return None
    return str(value) + suffix


def groups_of(sources):
    """Groups of interchangeable names: the values of each enum, and the constants of a
    namespace that holds nothing but constants (ctl::STX, linkstatus::Idle...), by type. Gives
    (qualifier or None for unscoped, [names]) lists and the spans of the definitions."""
    groups, spans, aliases = [], {}, {}
    for path, (text, masked) in sources.items():
        for m in re.finditer(r"\bnamespace\s+(\w+)\s*=\s*([\w:]+)\s*;", masked):
            aliases[m.group(1)] = m.group(2).split("::")[-1]
        for m in re.finditer(r"\benum\s+(class\s+|struct\s+)?(\w+)?\s*(:\s*[\w:]+\s*)?\{", masked):
            end = closing(masked, m.end() - 1)
            if end < 0:
                continue
            names = [re.match(r"\s*(\w+)", item).group(1)
                     for item in masked[m.end():end].split(",") if item.strip()]
            qualifier = m.group(2) if m.group(1) else None
            if len(names) > 1:
                groups.append((qualifier, names))
            spans.setdefault(path, []).append((m.start(), end))
        for m in re.finditer(r"\bnamespace\s+([\w:]+)\s*\{", masked):
            end = closing(masked, m.end() - 1)
            body = masked[m.end():end]
            items = re.findall(r"\bconstexpr\s+([\w:]+)\s+(\w+)\s*=[^;]*;", body)
            if end < 0 or not items or re.sub(
                    r"\bconstexpr\s+[\w:]+\s+\w+\s*=[^;]*;", "", body).strip():
                continue
            for kind in sorted({t for t, _ in items}):
                names = [name for t, name in items if t == kind]
                if len(names) > 1:
                    groups.append((m.group(1).split("::")[-1], names))
    return groups, spans, aliases


def candidates(sources):
    """Every standard change the product code admits, in a fixed order."""
    found = []
    groups, enum_spans, aliases = groups_of(sources)
    member = {}
    for qualifier, names in groups:
        for k, name in enumerate(names):
            member.setdefault((qualifier, name), []).append(names[(k + 1) % len(names)])
    for path in sorted(sources):
        text, masked = sources[path]
        flags = code_flags(masked)
        starts = [0] + [k + 1 for k, ch in enumerate(text) if ch == "\n"]

        def add(a, b, new, kind):
            if text[a:b] != new:
                found.append((path, bisect.bisect_right(starts, a), a, b, new, kind))

        swap = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
        for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", masked):
            add(m.start(), m.end(), swap[m.group(1)], "boundary")

        for m in re.finditer(r"\b(if|while)\s*\(", masked):
            if not flags[m.start()]:
                continue
            end = closing(masked, m.end() - 1)
            cond = masked[m.end():end]
            if end < 0 or ";" in cond or re.search(r"(?<![=!<>])=(?!=)", cond) \
                    or re.match(r"\s*(const\s+)?auto\b", cond):
                continue
            original = text[m.end():end]
            if re.match(r"^!\s*[\w.:\->]+(\([^()]*\))?$", original.strip()):
                add(m.end(), end, original.strip()[1:].lstrip(), "negated")
            else:
                add(m.end(), end, "!(" + original + ")", "negated")

        for m in re.finditer(r"(?<![\w.])\.?\d(?:[eEpP][+-]|[\w.'])*", masked):
            if not INT_RE.match(m.group(0)):
                continue
            for delta in (1, -1):
                new = step_int(m.group(0), delta)
                if new is not None:
                    add(m.start(), m.end(), new, "constant")

        for m in re.finditer(r"(?m)^[ \t]*(?=\S)", masked):
            a = m.end()
            if not flags[a] or masked[a] == "}":
                continue
            prev = masked[:a].rstrip()
            if not (prev.endswith((";", "{", "}", ")")) or
                    (prev.endswith(":") and not prev.endswith("::")) or
                    re.search(r"\b(else|do)$", prev)):
                continue
            depth, b = 0, a
            while b < len(masked):
                ch = masked[b]
                if ch in "([{":
                    if ch == "{" and depth == 0:
                        break
                    depth += 1
                elif ch in ")]}":
                    depth -= 1
                    if depth < 0:
                        break
                elif ch == ";" and depth == 0:
                    break
                b += 1
            if b >= len(masked) or masked[b] != ";":
                continue
            statement = " ".join(masked[a:b].split())
            head = re.split(r"\(|\[|\{|[-+*/|&^]?=(?!=)|\+\+|--", statement, maxsplit=1)[0]
            # Only simple statements: a whole if or loop dropped is more than a one-place change,
            # and a dropped return or break mostly fails to build.
            if re.match(r"(if|else|for|while|do|switch|return|break|continue|goto|case|default"
                        r"|using|typedef|throw|delete|co_\w+)\b", statement) or not statement:
                continue
            if not (re.match(r"^(\+\+|--)", statement) or
                    (re.match(r"^(emit\s+)?[A-Za-z_][\w:.\->]*(\s*\[[^\]]*\])?\s*$", head) and
                     re.search(r"\(|(?<![=!<>])=(?!=)|\+\+|--", statement))):
                continue
            add(a, b + 1, "{}", "dropped")

        for m in re.finditer(r"\b([A-Za-z_]\w*)\s*\(", masked):
            if m.group(1) in KEYWORDS:
                continue
            end = closing(masked, m.end() - 1)
            if end < 0:
                continue
            args, depth, first = [], 0, m.end()
            for k in range(m.end(), end + 1):
                ch = masked[k]
                if ch in "([{":
                    depth += 1
                elif ch in ")]}" and k < end:
                    depth -= 1
                elif (ch == "," and depth == 0) or k == end:
                    raw = text[first:k]
                    lead = len(raw) - len(raw.lstrip())
                    args.append((first + lead, first + len(raw.rstrip())))
                    first = k + 1
            for (a1, b1), (a2, b2) in zip(args, args[1:]):
                one, two = text[a1:b1], text[a2:b2]
                if one != two and arg_kind(one) and arg_kind(one) == arg_kind(two) and (
                        arg_kind(one) != "name" or name_shape(one) == name_shape(two)):
                    add(a1, b2, two + text[b1:a2] + one, "swapped")

        for m in re.finditer(r"\b(true|false)\b", masked):
            add(m.start(), m.end(), "false" if m.group(1) == "true" else "true", "bool")

        inside_enum = enum_spans.get(path, [])
        for m in re.finditer(r"(?<![\w.>:])(?:(\w+)::)?(\w+)\b", masked):
            qualifier, name = m.group(1), m.group(2)
            if any(s <= m.start() <= e for s, e in inside_enum):
                continue
            if qualifier is not None:
                qualifier = aliases.get(qualifier, qualifier)
            nexts = member.get((qualifier, name)) or (
                member.get((None, name)) if qualifier is None or qualifier not in
                {q for q, _ in groups} else None)
            if nexts and len(set(nexts)) == 1:
                add(m.start(2), m.end(2), nexts[0], "enum")
    # One change per span and replacement, in a fixed order.
    return sorted(set(found))


def product_sources(root, ref):
    files = run(f"git ls-tree -r --name-only {ref}", root).stdout.split()
    chosen = [f for f in files if f.endswith((".cpp", ".h")) and "/" in f
              and f.split("/")[0] not in NOT_PRODUCT and not f.startswith(("build", "."))]
    sources = {}
    for path in sorted(chosen):
        text = subprocess.run(["git", "show", f"{ref}:{path}"], cwd=root, check=True,
                              stdout=subprocess.PIPE, text=True).stdout
        sources[path] = (text, blank(text))
    return sources


def draw(sources, count, seed):
    """count places (lines that admit a change) drawn at random, one change drawn at each."""
    by_line = {}
    for c in candidates(sources):
        by_line.setdefault((c[0], c[1]), []).append(c)
    rng = random.Random(seed)
    lines = rng.sample(sorted(by_line), min(count, len(by_line)))
    print(f"{len(lines)} faults drawn with seed {seed} from {len(by_line)} places "
          f"({sum(map(len, by_line.values()))} changes) in {len(sources)} files", flush=True)
    return sorted(rng.choice(by_line[line]) for line in lines)


def describe(sources, fault):
    """The line as it stands and as the fault makes it, on one line each."""
    path, line, a, b, new, kind = fault
    text = sources[path][0]
    lo = text.rfind("\n", 0, a) + 1
    hi = text.find("\n", b)
    hi = len(text) if hi < 0 else hi
    before = " ".join(text[lo:hi].split())
    after = " ".join((text[lo:a] + new + text[b:hi]).split())
    cut = lambda s: s if len(s) <= 110 else s[:107] + "..."
    return f"{path}:{line} [{kind}]", cut(before), cut(after)


# ---------------------------------------------------------------------------------------------
# Running the suite.

def quiet_env():
    """The programs' environment. A program stopped for a failure elsewhere would otherwise have
    Qt Test attach a debugger to print its stack, which only takes a core from the next fault's
    timed checks."""
    return dict(os.environ, QT_QPA_PLATFORM="offscreen", QTEST_DISABLE_STACK_DUMP="1")


def run_program(build, name, limit, env):
    """Runs one test program through CTest (its registered environment), stopped after limit
    seconds. Gives (passed, seconds, note). The output goes to a file, not a pipe: a helper
    the program leaves behind would hold a pipe open and the wait with it."""
    start = time.monotonic()
    with tempfile.TemporaryFile("w+") as log:
        proc = subprocess.Popen(["ctest", "-R", f"^{name}$", "--output-on-failure"], cwd=build,
                                env=env, stdout=log, stderr=subprocess.STDOUT, text=True,
                                start_new_session=True)
        try:
            proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, sig)
                time.sleep(1)
            proc.wait()
            return False, time.monotonic() - start, f"hung, stopped after {limit:.0f} s"
        seconds = time.monotonic() - start
        log.seek(0)
        out = log.read()
    if proc.returncode == 0 and re.search(r"100% tests passed", out):
        return True, seconds, ""
    return False, seconds, failure_note(out)


def run_programs(build, names, limits, env, at_once=2):
    """Runs the programs in the order given, at most at_once side by side (CI runs ctest -j2),
    each stopped after its limit. Gives (failure, seconds): failure None when all passed, else
    (name, note) of the first to fail, the others stopped then; seconds each program took."""
    waiting, running, seconds = list(names), {}, {}

    def stop(proc):
        # The group, not CTest alone: CTest ends at once on SIGTERM, while the test program it
        # started, in the same group, may still be ending. CTest is reaped only after the
        # SIGKILL, so that no other process can have taken the group's number meanwhile.
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGTERM)
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and not os.waitid(
                os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT):
            time.sleep(0.05)
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()

    failure = None
    try:
        while (waiting or running) and failure is None:
            while waiting and len(running) < at_once:
                name = waiting.pop(0)
                log = tempfile.TemporaryFile("w+")
                proc = subprocess.Popen(["ctest", "-R", f"^{name}$", "--output-on-failure"],
                                        cwd=build, env=env, stdout=log, stderr=subprocess.STDOUT,
                                        text=True, start_new_session=True)
                running[name] = (proc, log, time.monotonic())
            time.sleep(0.2)
            for name, (proc, log, started) in list(running.items()):
                if proc.poll() is None:
                    if time.monotonic() - started > limits[name]:
                        failure = (name, f"hung, stopped after {limits[name]:.0f} s")
                        break
                    continue
                del running[name]
                seconds[name] = time.monotonic() - started
                log.seek(0)
                out = log.read()
                log.close()
                if proc.returncode == 0 and re.search(r"100% tests passed", out):
                    continue
                failure = (name, failure_note(out))
                break
    finally:
        for proc, log, _ in running.values():
            stop(proc)
            log.close()
    return failure, seconds


def failure_note(out):
    if "***Timeout" in out:
        return "hung, stopped by its CTest time limit"
    # "FAIL!  : Test::function(data tag) message": the function and its row, spaces and all.
    failed = re.findall(r"^FAIL!\s*:\s*(\S+?\(.*?\))(?: |$)", out, re.M)
    crash = re.search(r"\*\*\*Exception: (\w+)|Child aborted|SegFault", out)
    return failed[0] if failed else (crash.group(0) if crash else "failed")


def prepare(root, args):
    """The scratch worktree at --ref with the suite built in it."""
    work = args.work or tempfile.mkdtemp(prefix="kelm-mutants-")
    if os.path.isdir(os.path.join(work, ".git")) or os.path.isfile(os.path.join(work, ".git")):
        run(f"git checkout -q --detach {args.ref} && git reset -q --hard", work)
    else:
        if os.path.isdir(work):
            os.rmdir(work)
        r = run(f"git worktree add -q --detach {work} {args.ref}", root)
        if r.returncode != 0:
            sys.exit(r.stdout)
    if args.tests_from:
        run(f"git checkout {args.tests_from} -- tests", work)
    return work


def build_targets(build, targets):
    return run(f"cmake --build {build} -j2 --target {' '.join(targets)}", build)


def apply_fault(drawn, text, fault):
    """text with the fault in it. Where text is not the code the fault was drawn from
    (--drawn-at), the line as it stood there is looked for as a whole line, the nearest to its
    old place taken; None when it is not there."""
    path, line, a, b, new, kind = fault
    if text == drawn:
        return text[:a] + new + text[b:]
    lo = drawn.rfind("\n", 0, a) + 1
    hi = drawn.find("\n", b)
    hi = len(drawn) if hi < 0 else hi
    old_line, new_line = drawn[lo:hi], drawn[lo:a] + new + drawn[b:hi]
    lines = text.split("\n")
    at = [i for i, t in enumerate(lines) if t == old_line]
    if "\n" in old_line or not at:
        return None
    nearest = min(at, key=lambda i: abs(i + 1 - line))
    if len(at) > 1:
        print(f"       ({len(at)} lines read so; taken at line {nearest + 1})", flush=True)
    lines[nearest] = new_line
    return "\n".join(lines)


def random_campaign(root, args, sources, faults):
    work = prepare(root, args)
    build = os.path.join(work, "build")
    env = quiet_env()
    targets = UNIT_TESTS + ["kelm-check"] + (["kelm"] if args.with_e2e else [])
    try:
        with build_lock():
            r = run(f"cmake -S . -B {build} -DCMAKE_BUILD_TYPE=RelWithDebInfo", work)
        if r.returncode != 0:
            sys.exit("the unchanged tree does not configure:\n" + r.stdout[-3000:])
        for target in targets + ([E2E] if args.with_e2e else []):
            # One target a lock: the first build is long, and others may need the machine.
            with build_lock():
                r = build_targets(build, [target])
            if r.returncode != 0:
                sys.exit("the unchanged tree does not build:\n" + r.stdout[-3000:])
        # The unchanged tree, run as each fault's will be: its times set the limits.
        with build_lock():
            failure, timings = run_programs(build, UNIT_TESTS, dict.fromkeys(UNIT_TESTS, 900), env)
            if failure:
                sys.exit(f"the unchanged tree fails {failure[0]} ({failure[1]})")
            if args.with_e2e:
                ok, timings[E2E], note = run_program(build, E2E, 900, env)
                if not ok:
                    sys.exit(f"the unchanged tree fails {E2E} ({note})")
        order = sorted(UNIT_TESTS, key=lambda name: (timings[name], name))
        limits = {name: max(3 * s, s + 30) for name, s in timings.items()}
        print("programs, two at a time, fastest first: " + ", ".join(
            f"{name} {timings[name]:.1f} s (limit {limits[name]:.0f} s)" for name in order),
            flush=True)

        killed = survived = unbuilt = 0
        spent = []
        for number, fault in faults:
            path, line, a, b, new, kind = fault
            place, before, after = describe(sources, fault)
            file = os.path.join(work, path)
            text = open(file).read() if os.path.isfile(file) else ""
            started = time.monotonic()
            faulty = apply_fault(sources[path][0], text, fault)
            if faulty is None:
                if not args.drawn_at:
                    sys.exit(f"{path} in the worktree is not the text the faults were drawn from")
                print(f"[{number:2}] {place}\n       {before}\n     line not found at "
                      f"{args.ref[:12]}, left out", flush=True)
                continue
            open(file, "w").write(faulty)
            try:
                with build_lock():
                    r = build_targets(build, targets)
                    verdict = None
                    if r.returncode != 0:
                        error = re.search(r"error: (.*)", r.stdout)
                        verdict = "did not build" + (f" ({error.group(1)[:80]})" if error else "")
                    else:
                        failure, _ = run_programs(build, order, limits, env)
                        if failure:
                            verdict = f"killed by {failure[0]} ({failure[1]})"
                        if verdict is None and args.with_e2e:
                            r = build_targets(build, [E2E])
                            ok, seconds, note = (False, 0, "did not build") \
                                if r.returncode != 0 else run_program(build, E2E, limits[E2E], env)
                            if not ok:
                                verdict = f"killed by {E2E} ({note})"
            finally:
                # Restored at once; the next fault's build compiles it again.
                open(file, "w").write(text)
            if verdict is None:
                verdict = "SURVIVED"
                survived += 1
            elif verdict.startswith("did not build"):
                unbuilt += 1
            else:
                killed += 1
            spent.append(time.monotonic() - started)
            print(f"[{number:2}] {place}\n       {before}\n     → {after}\n     "
                  f"{verdict}  ({spent[-1]:.0f} s)", flush=True)
        built = killed + survived
        score = f"{100 * killed / built:.0f} %" if built else "-"
        print(f"\nscore: {killed} killed of {built} that built ({score}); {survived} survived, "
              f"{unbuilt} did not build; {sum(spent) / max(len(spent), 1):.0f} s a fault")
    finally:
        if not args.work:
            run(f"git worktree remove --force {work}", root)


def fixed_list(root, args):
    faults = [f for f in FAULTS if not args.only or f[0] in args.only]
    if args.list:
        for name, path, old, new in faults:
            print(f"{path}: {name}")
        return
    work = prepare(root, args)
    try:
        build = os.path.join(work, "build")
        env = quiet_env()
        with build_lock():
            r = run(f"cmake -S . -B {build} -DCMAKE_BUILD_TYPE=RelWithDebInfo && "
                    f"cmake --build {build} -j2", work)
        if r.returncode != 0:
            sys.exit("the unchanged tree does not build:\n" + r.stdout[-3000:])
        ctest = f"cd {build} && ctest -j2 -E tst_e2e --timeout 300"
        with build_lock():
            base = run(ctest, work, env)
        if base.returncode != 0:
            sys.exit("the unchanged tree does not pass its tests:\n" + base.stdout[-4000:])
        caught = 0
        for name, path, old, new in faults:
            file = os.path.join(work, path)
            text = open(file).read()
            if text.count(old) != 1:
                print(f"  ?  {name}: the text to change is not there once", flush=True)
                continue
            open(file, "w").write(text.replace(old, new))
            with build_lock():
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
        if not args.work:
            run(f"git worktree remove --force {work}", root)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ref", default="HEAD")
    parser.add_argument("--tests-from", default=None)
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--random", type=int, metavar="N")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--with-e2e", action="store_true")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--work", metavar="DIR")
    parser.add_argument("--pick", type=int, nargs="+", metavar="K")
    parser.add_argument("--drawn-at", metavar="REV")
    args = parser.parse_args()
    # A kill ends the run as Ctrl-C does: the test programs stopped, the fault taken out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    root = run("git rev-parse --show-toplevel", os.getcwd()).stdout.strip()
    if args.random is None:
        if args.with_e2e or args.seed is not None or args.pick or args.drawn_at:
            parser.error("--seed, --pick, --drawn-at and --with-e2e go with --random")
        fixed_list(root, args)
        return
    if args.seed is None or args.only:
        parser.error("--random needs --seed, and does not take --only")
    if args.pick and not all(1 <= k <= args.random for k in args.pick):
        parser.error(f"--pick takes numbers from 1 to {args.random}")
    args.ref = run(f"git rev-parse --verify {args.ref}^{{commit}}", root).stdout.strip() or \
        parser.error(f"no such revision: {args.ref}")
    drawn_at = args.ref
    if args.drawn_at:
        drawn_at = run(f"git rev-parse --verify {args.drawn_at}^{{commit}}", root).stdout.strip() \
            or parser.error(f"no such revision: {args.drawn_at}")
    sources = product_sources(root, drawn_at)
    faults = draw(sources, args.random, args.seed)
    numbered = [(k, f) for k, f in enumerate(faults, 1) if not args.pick or k in args.pick]
    if args.list:
        for number, fault in numbered:
            place, before, after = describe(sources, fault)
            print(f"[{number:2}] {place}\n       {before}\n     → {after}")
        return
    random_campaign(root, args, sources, numbered)


if __name__ == "__main__":
    main()
