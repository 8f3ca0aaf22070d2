"""Hand-made mutants of the masking engine and redaction: applies each, runs the tests, restores.

Prints killed or SURVIVED per mutant and the total. Usage (from the checkout root):
    .venv/bin/python scripts/mutants_masking.py [test paths]
"""
import pathlib, subprocess, sys, time
ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = "host/vorn-core/src/"
MUTANTS = [
    ("rules: key start ignores escapes", CORE + "vorn_core/masking/rules.py",
     '_KEY_START = r"(?:(?<!" + _JOINING + r")|" + _AFTER_ESCAPE + r")"', '_KEY_START = r"(?:(?<!" + _JOINING + r"))"'),
    ("rules: CJK joins keys", CORE + "vorn_core/masking/rules.py",
     '_JOINING = r"[^\\W" + _NO_SPACE_SCRIPTS + r"]"', '_JOINING = r"\\w"'),
    ("rules: JWT starts inside runs", CORE + "vorn_core/masking/rules.py",
     '_JWT_START = r"(?:(?<!-)(?<!"', '_JWT_START = r"(?:(?<!"'),
    ("rules: escaped break narrowed", CORE + "vorn_core/masking/rules.py",
     '_ESCAPED_BREAK = r"\\\\{1,8}(?:r\\\\{1,8})?n"', '_ESCAPED_BREAK = r"\\\\{1,7}(?:r\\\\{1,7})?n"'),
    ("rules: escaped CR dropped", CORE + "vorn_core/masking/rules.py",
     '_ESCAPED_BREAK = r"\\\\{1,8}(?:r\\\\{1,8})?n"', '_ESCAPED_BREAK = r"\\\\{1,8}n"'),
    ("rules: key header value as a bounded group", CORE + "vorn_core/masking/rules.py",
     "(?=[^\\r\\n]{0,256}?(?:[\\r\\n]|\\\\[\\\\rn]))(?:[^\\r\\n\\\\]++|\\\\(?![\\\\rn]))*+",
     "(?:[^\\r\\n\\\\]|\\\\(?![\\\\rn])){0,256}"),
    ("rules: name check prefix only", CORE + "vorn_core/masking/rules.py",
     "if not _NAME.fullmatch(self.name):", "if not _NAME.match(self.name):"),
    ("text: failure returns raw text", CORE + "vorn_core/masking/text.py",
     "        raise MaskingRuleError(rule_name, reason) from None", "        return text"),
    ("engine: budget never expires", CORE + "native/masking_engine.cpp",
     "Clock::now() > budget->deadline", "false"),
    ("engine: secret group ignored", CORE + "native/masking_engine.cpp",
     "if (group != 0 && static_cast", "if (false && static_cast"),
    ("engine: overlapping secret spans", CORE + "native/masking_engine.cpp",
     "if (mask_end > mask_start && mask_start >= kept_from)", "if (mask_end > mask_start)"),
    ("module: None accepted as rule", CORE + "native/masking_module.cpp",
     "if (!nb::isinstance<CompiledPattern>(rule)) {", "if (false) {"),
    ("syntax: \\Z kept", CORE + "native/pattern_syntax.cpp",
     'emit(U"\\\\z", i);', 'emit(U"\\\\Z", i);'),
    ("syntax: Python whitespace lost", CORE + "native/pattern_syntax.cpp",
     'U"\\\\x{9}-\\\\x{d}\\\\x{1c}-\\\\x{20}', 'U"\\\\x{9}-\\\\x{d}\\\\x{20}-\\\\x{20}'),
    ("redaction: encoded forms unused", "src/vorn_tools/code_interpreter/redaction.py",
     "ordered = sorted(self._forms, key=_longest_first)", "ordered = sorted(self._values, key=_longest_first)"),
    ("engine: placeholder literals not added", CORE + "native/masking_engine.cpp",
     "for (const auto& [offset, literal] : inside_[r]) added.emplace_back", "for (const auto& [offset, literal] : inside_[r]) (void)"),
    ("engine: window starts at the literal", CORE + "native/masking_engine.cpp",
     "std::size_t s = std::max<std::size_t>(next, hi >= before ? hi - before : 0);", "std::size_t s = std::max<std::size_t>(next, hi);"),
    ("engine: ASCII placeholder cut short", CORE + "native/masking_engine.cpp",
     "replacement8_.push_back(static_cast<char>(c));", "if (c != U']') replacement8_.push_back(static_cast<char>(c));"),
    ("anchors: optional spellings required", CORE + "native/anchors.cpp",
     "if (atom.min == 0) next = spelled;", ""),
    ("anchors: look-ahead consumes", CORE + "native/anchors.cpp",
     "if (k == U'=' || k == U'!') return open(1, Atom::Kind::Zero);", "if (k == U'=' || k == U'!') return open(1, Atom::Kind::Group);"),
    ("scan: KELVIN SIGN not folded", CORE + "native/prefilter.hpp",
     "case 0x212A: return 'k';", ""),
    ("scan: look-alike secrets replaced", CORE + "native/prefilter.cpp",
     "!= literal[k]) return;", "!= literal[k] && false) return;"),
    ("redaction: 8-char value refused", "src/vorn_tools/code_interpreter/redaction.py",
     "if len(value) >= _MIN_REGISTERED_SECRET_LENGTH", "if len(value) > _MIN_REGISTERED_SECRET_LENGTH"),
    ("redaction: shortest first", "src/vorn_tools/code_interpreter/redaction.py",
     "return -len(value), value", "return len(value), value"),
    ("redaction: failure returns text", "src/vorn_tools/code_interpreter/redaction.py",
     "    except MaskingRuleError:\n        return fallback", "    except MaskingRuleError:\n        return text"),
]
TESTS = sys.argv[1:] or ["host/vorn-core/tests", "tests/foundation"]

def run(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=timeout, start_new_session=True).returncode
    except subprocess.TimeoutExpired:
        return "timeout"

killed = 0
for name, path, old, new in MUTANTS:
    f = ROOT / path
    src = f.read_text()
    assert src.count(old) == 1, (name, src.count(old))
    f.write_text(src.replace(old, new))
    try:
        if path.endswith(".cpp"):
            assert run(["bash", "scripts/setup.sh"], 600) == 0
        t0 = time.time()
        rc = run([".venv/bin/python", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *TESTS], 600)
    finally:
        f.write_text(src)
    ok = rc != 0
    killed += ok
    print(f"{'killed  ' if ok else 'SURVIVED'} {name} ({rc}, {time.time()-t0:.0f}s)", flush=True)
if any(p.endswith(".cpp") for _, p, _, _ in MUTANTS):
    run(["bash", "scripts/setup.sh"], 600)
print(f"{killed}/{len(MUTANTS)} killed")
