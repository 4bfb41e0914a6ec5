"""The administrators' documentation names only registry values the program
reads, and quotes its messages exactly as the program writes them.

The program's side is taken from the sources: the registry values from the
settings loader and the scan-position writer, the messages from the string
literals of the program's code. Needs no build and no Wine.
"""
import pathlib
import re
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
CONFIGURATION = DOCS / "configuration.md"
OPERATIONS = DOCS / "operations.md"
EXAMPLE_REG = DOCS / "qarlov-example.reg"
REREAD_REG = DOCS / "qarlov-reread-today.reg"
SOURCE_DIRS = ("core", "config", "actions", "monitor", "service", "program")
REGISTRY_READERS = (ROOT / "config" / "settings.cpp", ROOT / "config" / "scanposition.cpp")

# Upper-case words the documentation puts in code spans that are not value names.
NOT_VALUE_NAMES = {"QARLOV", "ERROR", "WARNING", "TRUE", "FALSE", "HKLM", "EICAR"}
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0", "a": "\a"}
# A LogMessage or LogError call with its literal format text.
LOG_CALL = re.compile(r"(?:LogMessage\(\s*LogLevel\w+\s*,|LogError\()\s*((?:L\"(?:[^\"\\]|\\.)*\"\s*)+)")
_FORMAT_DIRECTIVE = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.\d+)?(?:hh|h|ll|l|I64|z)?[diuxXscSf%]")


def string_literals(source):
    """The string literals of a C/C++ source, unescaped, with adjacent literals joined
    (L"a" L"b" is one literal "ab"). Comments and character literals are skipped."""
    literals, i, length = [], 0, len(source)
    joining = False  # the last token was a literal: a following one continues it
    while i < length:
        c = source[i]
        if source.startswith("//", i):
            i = source.find("\n", i)
            i = length if i < 0 else i
        elif source.startswith("/*", i):
            i = source.index("*/", i + 2) + 2
        elif c == "'":
            i += 1
            while source[i] != "'":
                i += 2 if source[i] == "\\" else 1
            i += 1
            joining = False
        elif c == '"':
            text, i = _read_literal(source, i + 1)
            if joining:
                literals[-1] += text
            else:
                literals.append(text)
            joining = True
        elif c.isspace() or (c in "LuU8" and source[i + 1:i + 2] in ('"', "8")):
            i += 1
        else:
            joining = False
            i += 1
    return literals


def _read_literal(source, i):
    out = []
    while source[i] != '"':
        if source[i] == "\\":
            escape = source[i + 1]
            if escape == "x":
                digits = re.match(r"[0-9a-fA-F]+", source[i + 2:]).group()
                out.append(chr(int(digits, 16)))
                i += 2 + len(digits)
                continue
            out.append(_ESCAPES.get(escape, escape))
            i += 2
        else:
            out.append(source[i])
            i += 1
    return "".join(out), i + 1


def program_sources():
    return sorted(p for d in SOURCE_DIRS for p in (ROOT / d).glob("*.cpp"))


def program_literals():
    literals = set()
    for path in program_sources():
        literals.update(string_literals(path.read_text(encoding="utf-8")))
    return literals


def message_patterns(literals):
    """A regular expression per line of each literal: format directives stand for any
    text, so a documented message may show either the directive or an example value.
    Lines that are too short to tell a message ("%s", "].") must match exactly."""
    patterns = set()
    for literal in literals:
        for line in literal.split("\n"):
            if not line.strip():
                continue
            fixed = _FORMAT_DIRECTIVE.sub("", line)
            if len(fixed) < 8:
                patterns.add(re.escape(line))
                continue
            pieces, position = [], 0
            for directive in _FORMAT_DIRECTIVE.finditer(line):
                pieces.append(re.escape(line[position:directive.start()]))
                pieces.append("%%" if directive.group() == "%%" else ".+?")
                position = directive.end()
            pieces.append(re.escape(line[position:]))
            patterns.add("".join(pieces))
    return [re.compile(p, re.DOTALL) for p in patterns]


def without_code_blocks(markdown):
    return re.sub(r"^[ \t]*```.*?^[ \t]*```", "", markdown, flags=re.MULTILINE | re.DOTALL)


def code_spans(markdown):
    """Inline code; a span that runs over a line end reads as one line, as rendered."""
    return [re.sub(r"\s*\n\s*", " ", span) for span in re.findall(r"`([^`]+)`", without_code_blocks(markdown))]


def quoted_messages(markdown):
    """Messages are written as code spans in double quotes: `"Could not ..."`."""
    return [span[1:-1] for span in code_spans(markdown) if len(span) > 2 and span[0] == span[-1] == '"']


def table_rows(markdown):
    """(header cells, row cells) for every row of every table."""
    header, rows, lines = None, [], without_code_blocks(markdown).splitlines()
    for line in lines:
        if not line.startswith("|"):
            header = None
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if header is None:
            header = cells
        elif not all(re.fullmatch(r":?-+:?", cell) for cell in cells):
            rows.append((header, cells))
    return rows


def documented_value_names(markdown):
    """The first column of tables headed "Value", and upper-case words in code spans."""
    names = set()
    for header, cells in table_rows(markdown):
        if header[0] == "Value":
            names.update(re.findall(r"`([^`]+)`", cells[0]))
    names.update(span for span in code_spans(markdown)
                 if re.fullmatch(r"[A-Z]{4,}", span) and span not in NOT_VALUE_NAMES)
    return names


def values_read_by_program():
    """Value names that the loader and the scan-position writer hand to the registry: the
    one-word literals of those two files, less the summary's flag words."""
    names = set()
    for path in REGISTRY_READERS:
        for literal in string_literals(path.read_text(encoding="utf-8")):
            if re.fullmatch(r"[A-Za-z][A-Za-z0-9]*", literal) and literal not in ("TRUE", "FALSE"):
                names.add(literal)
    return names


def reg_file_text(path):
    raw = path.read_bytes()
    return raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1")


def reg_value_names(path):
    return set(re.findall(r'^"([^"]+)"=', reg_file_text(path), flags=re.MULTILINE))


# A unit of time, as the documentation and the example's comments name it.
UNIT = re.compile(r"\b(milliseconds|seconds)\b", re.IGNORECASE)


def documented_units():
    """{(key, value name): the unit of time its meaning in configuration.md names first}; the
    key is the one named (in a code span of its own) above the value's table."""
    units, key = {}, None
    for line in without_code_blocks(CONFIGURATION.read_text(encoding="utf-8")).splitlines():
        named = re.fullmatch(r"`(?:HKEY_LOCAL_MACHINE\\)?(SOFTWARE\\kestu\\QARLOV[^`]*)`", line.strip())
        if named:
            key = named.group(1)
        elif key and line.startswith("| `"):
            cells = [cell.strip() for cell in line.strip("|").split("|")]
            unit = UNIT.search(cells[2]) if len(cells) > 2 else None
            if unit:
                units[(key, cells[0].strip("`"))] = unit.group(1).lower()
    return units


def example_numbers():
    """(key, value name, number, the comment lines right above it) for every dword of the
    example registry file; the key without its root."""
    numbers, key, comment = [], None, []
    for line in reg_file_text(EXAMPLE_REG).splitlines():
        section = re.fullmatch(r"\[HKEY_LOCAL_MACHINE\\(.*)\]", line)
        value = re.fullmatch(r'"([^"]+)"=dword:([0-9a-fA-F]{8})', line)
        if section:
            key = section.group(1)
        elif value:
            numbers.append((key, value.group(1), int(value.group(2), 16), " ".join(comment)))
        comment = comment + [line] if line.startswith(";") else []
    return numbers


class RegistryValuesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.program = values_read_by_program()

    def test_the_program_reads_the_values_it_is_expected_to(self):
        # Guards the derivation itself: a loader that hides its names from it would
        # otherwise let every documented name pass.
        for name in ("INSTANCE", "TIMESTAMP", "FILENAME", "DEBUGOUTPUT", "EVENT", "SERVERPORT", "DISABLED",
                     "SEPAppDataDir", "SAVCE"):
            self.assertIn(name, self.program)

    def test_every_value_named_in_the_documentation_is_read_by_the_program(self):
        for path in (CONFIGURATION, OPERATIONS, ROOT / "README.md"):
            with self.subTest(document=path.name):
                named = documented_value_names(path.read_text(encoding="utf-8"))
                self.assertEqual(set(), named - self.program, "documented but never read")

    def test_every_value_the_program_reads_is_documented(self):
        named = documented_value_names(CONFIGURATION.read_text(encoding="utf-8"))
        self.assertEqual(set(), self.program - named, "read but not in configuration.md")

    def test_the_registry_files_set_only_values_the_program_reads(self):
        for path in (EXAMPLE_REG, REREAD_REG):
            with self.subTest(file=path.name):
                names = reg_value_names(path)
                self.assertTrue(names, "no values found in the registry file")
                self.assertEqual(set(), names - self.program)

    def test_the_example_numbers_carry_the_documented_units(self):
        # Each number whose meaning has a unit of time says it in its comment, with its
        # value in decimal in parentheses: "(500 milliseconds, ...)".
        units, checked = documented_units(), set()
        for key, name, number, comment in example_numbers():
            if (key, name) not in units:
                continue
            with self.subTest(key=key, name=name):
                unit = UNIT.search(comment)
                self.assertIsNotNone(unit, f"no unit in the comment: {comment}")
                self.assertEqual(units[(key, name)], unit.group(1).lower(), comment)
                decimal = re.search(r"\((\d+)", comment)
                self.assertIsNotNone(decimal, f"no decimal value in the comment: {comment}")
                self.assertEqual(number, int(decimal.group(1)), comment)
                checked.add((key.rpartition("\\")[2], name))
        self.assertEqual({("Rule", "WAITBEFOREACTION"), ("Dialog", "WAITINSECS"), ("Execute", "WAITINSECS")},
                         checked)


class MessagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.literals = program_literals()
        cls.patterns = message_patterns(cls.literals)
        cls.documented = quoted_messages(OPERATIONS.read_text(encoding="utf-8"))

    def test_operations_guide_quotes_the_messages(self):
        self.assertGreater(len(self.documented), 80)

    def test_every_quoted_message_is_written_by_the_program(self):
        unknown = [m for m in self.documented if not any(p.fullmatch(m) for p in self.patterns)]
        self.assertEqual([], unknown, "quoted in operations.md but not in the sources")

    def test_every_logged_message_is_explained(self):
        documented = set(self.documented)
        logged = set()
        for path in program_sources():
            for call in LOG_CALL.finditer(path.read_text(encoding="utf-8")):
                for text in string_literals(call.group(1)):
                    logged.update(line for line in text.split("\n") if line.strip() and line != "%s")
        self.assertEqual(set(), logged - documented, "logged by the program but not in operations.md")

    def test_wildcards_stand_only_where_the_program_fills_in(self):
        # The matcher itself: a directive matches a filled-in value, fixed text must match.
        patterns = message_patterns({"Error reading QARLOV registry entry [%s]. Install QARLOV reg file properly."})
        self.assertTrue(any(p.fullmatch("Error reading QARLOV registry entry [TITLE]. Install QARLOV reg file "
                                        "properly.") for p in patterns))
        self.assertFalse(any(p.fullmatch("Error reading registry entry [TITLE].") for p in patterns))
        self.assertFalse(any(p.fullmatch("anything") for p in message_patterns({"%s"})))


class ParsingTest(unittest.TestCase):
    def test_literals_are_unescaped_and_joined_outside_comments(self):
        source = ('// "not this"\n/* "nor this" */ f(L"a\\\\b" L"\\"c\\"", \'"\', L"d\\n");')
        self.assertEqual(['a\\b"c"', "d\n"], string_literals(source))

    def test_code_spans_skip_code_blocks_and_join_wrapped_lines(self):
        markdown = ('1. Run:\n\n   ```\n   qarlov `x`\n   ```\n\n   Then `"Could not\n   start."` and `AB`.\n'
                    '| Value | Type |\n|---|---|\n| `CAT` | `REG_DWORD` |\n')
        self.assertEqual(['"Could not start."', "AB", "CAT", "REG_DWORD"], code_spans(markdown))
        self.assertEqual(["Could not start."], quoted_messages(markdown))
        self.assertEqual({"CAT"}, documented_value_names(markdown))


if __name__ == "__main__":
    unittest.main()
