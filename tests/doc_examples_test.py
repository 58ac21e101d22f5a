#!/usr/bin/env python3
"""The documentation does what it says: its examples are run and their results compared with
what the text shows, so the text cannot drift from the programs.

- ReadmeExamples: every `$ ` command of the README's examples, run in a fresh folder that holds
  only `build/bin` (the programs) and `examples/`, prints exactly the lines shown below it.
- UserGuideExamples: the user guide's example data file, made and converted by its commands,
  gives exactly the files its examples show.
- ManPage: measconv.1 names every MEASCONV variable the programs and the recipes read, and its
  examples render the bytes measconv writes (the space of an invalid CSV cell included); each
  page's SEE ALSO names the other programs.
- Spreadsheet: the LibreOffice recipe of doc/loading.md, as written, gives date cells, number
  cells and empty cells (where soffice is installed), and its split recipe keeps every record.

    doc_examples_test.py --bin BUILD/bin --source SOURCE --man-pages BUILD/doc [--soffice PATH] [CLASS...]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile

ARGS = None
ENV = dict(os.environ, TZ="UTC", LC_ALL="C")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def source(relative):
    return read(os.path.join(ARGS.source, relative))


def lines_of(path):
    """A file's lines, its CR LF line ends read as LF."""
    with open(path, "rb") as f:
        return f.read().decode("latin-1").replace("\r\n", "\n").rstrip("\n").split("\n")


def indented_blocks(text):
    """The Markdown code blocks indented by four spaces, as lists of lines."""
    blocks, block = [], []
    for line in text.split("\n") + [""]:
        if line.startswith("    "):
            block.append(line[4:])
        elif line.strip() == "" and block:
            block.append("")
        else:
            if block:
                while block and block[-1] == "":
                    block.pop()
                blocks.append(block)
            block = []
    if block:
        blocks.append(block)
    return blocks


def fenced_blocks(text, language):
    return re.findall(r"```" + language + r"\n(.*?)```", text, re.S)


def section(text, heading):
    """A Markdown section: from its heading to the next one of the same level."""
    start = text.index("\n" + heading + "\n")
    level = heading.split(" ", 1)[0]
    end = text.find("\n" + level + " ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def fresh_folder(test):
    folder = tempfile.mkdtemp(prefix="measconv-doc-")
    test.addCleanup(shutil.rmtree, folder)
    return folder


def run_in(folder, commands, env=ENV):
    """Runs shell commands in one bash session; returns each one's output and exit status."""
    marker = "@@measconv-doc-example@@"
    script = "exec 2>&1\n" + "".join("%s\necho \"%s $?\"\n" % (command, marker) for command in commands)
    out = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], cwd=folder, env=env, capture_output=True,
                         timeout=300).stdout.decode("latin-1")
    results = []
    rest = out
    for _ in commands:
        text, _, rest = rest.partition(marker + " ")
        status, _, rest = rest.partition("\n")
        results.append((text.replace("\r\n", "\n"), int(status) if status.isdigit() else None))
    return results


def man_render(page):
    env = dict(ENV, MANWIDTH="80")
    return subprocess.run(["man", "-l", page], env=env, capture_output=True, check=True).stdout.decode()


def man_sections(rendered):
    """Rendered manual page: its sections by name, each a list of lines."""
    sections, name = {}, None
    for line in rendered.split("\n"):
        if line and not line.startswith(" "):
            name = line.strip()
            sections[name] = []
        elif name:
            sections[name].append(line)
    return sections


def variables_read():
    """Every MEASCONV variable the programs read (getenv) and the recipes use (${NAME...})."""
    names = set()
    for folder in ("cli", "convert", "datafile", "base", "meas", "measinfo", "tools", "cluster"):
        root = os.path.join(ARGS.source, folder)
        for directory, _, files in os.walk(root):
            for name in files:
                text = read(os.path.join(directory, name))
                names |= set(re.findall(r'getenv\("(MEASCONV[A-Z_]*)"\)', text))
                if folder == "cluster":
                    names |= set(re.findall(r"\$\{(MEASCONV[A-Z_]*)[:}]", text))
    return names


class ReadmeExamples(unittest.TestCase):
    def examples(self):
        """The README's `$ ` commands with the lines shown after each."""
        commands = []
        for block in indented_blocks(source("README.md")):
            if not block or not block[0].startswith("$ "):
                continue
            for line in block:
                if line.startswith("$ "):
                    commands.append((line[2:], []))
                else:
                    commands[-1][1].append(line)
        return commands

    def test_every_example_prints_what_the_readme_shows(self):
        folder = fresh_folder(self)
        os.makedirs(os.path.join(folder, "build"))
        os.symlink(ARGS.bin, os.path.join(folder, "build", "bin"))
        shutil.copytree(os.path.join(ARGS.source, "examples"), os.path.join(folder, "examples"))
        examples = self.examples()
        self.assertGreaterEqual(len(examples), 6, "the README's examples")
        self.assertIn('export PATH="$PWD/build/bin:$PATH"', [command for command, _ in examples])
        # The programs must come from build/bin, not from an installed package.
        env = dict(ENV, PATH="/usr/bin:/bin")
        results = run_in(folder, [command for command, _ in examples], env)
        for (command, shown), (output, status) in zip(examples, results):
            with self.subTest(command=command):
                self.assertEqual(status, 0, output)
                self.assertEqual(output.rstrip("\n").split("\n") if output else [], shown)

    def test_the_two_commands_are_there(self):
        blocks = indented_blocks(source("README.md"))
        self.assertIn(["./scripts/convert-sample.sh"], blocks)
        self.assertIn(["./scripts/test.sh"], blocks)

    def test_every_page_is_linked_and_exists(self):
        readme = source("README.md")
        pages = sorted(name for name in os.listdir(os.path.join(ARGS.source, "doc")) if name.endswith(".md"))
        for page in pages:
            self.assertIn("(doc/%s" % page, readme, "the README links doc/" + page)
        for link in re.findall(r"\]\((doc/[^)#]+)", readme):
            self.assertTrue(os.path.exists(os.path.join(ARGS.source, link)), link)
        for path in re.findall(r"man -l (build/doc/\S+)", readme):
            self.assertTrue(os.path.exists(os.path.join(ARGS.man_pages, os.path.basename(path))), path)
        self.assertLessEqual(readme.count("\n"), 250, "the README stays short")


def convert_the_example(test, folder):
    """Makes and converts the user guide's example data file with its own commands; returns the
    guide's section of the output files."""
    guide = section(source("doc/user-guide.md"), "## Output files")
    block = next(b for b in indented_blocks(guide) if b[0].startswith("measgen ex.dat"))
    commands = " ".join(line.rstrip("\\").strip() for line in block).split(" TZ=UTC ")
    commands = [commands[0], "TZ=UTC " + commands[1]]
    env = dict(ENV, PATH=ARGS.bin + ":/usr/bin:/bin")
    for output, status in run_in(folder, commands, env):
        test.assertEqual((output, status), ("", 0))
    return guide


class UserGuideExamples(unittest.TestCase):
    # The files the examples show, and the words that name each in the guide.
    SHOWN = ["ex_pv.txt", "ex_pv.csv", "ex_wl.csv", "ex/AB1.txt", "ex/AB1.csv", "ex/AB2.csv"]

    def test_the_examples_are_the_files_measconv_writes(self):
        folder = fresh_folder(self)
        guide = convert_the_example(self, folder)
        blocks = indented_blocks(guide)
        for name in self.SHOWN:
            with self.subTest(file=name):
                self.assertIn(lines_of(os.path.join(folder, name)), blocks)
        # Told in the text: the wavelength text file's data line and AB2.txt's last line.
        self.assertIn("`" + lines_of(os.path.join(folder, "ex_wl.txt"))[-1].split("\t", 2)[2] + "`", guide)
        self.assertIn("`" + lines_of(os.path.join(folder, "ex", "AB2.txt"))[-1] + "`", guide)
        self.assertIn("1.5000, ,-0.7500", lines_of(os.path.join(folder, "ex_pv.csv"))[1])


class ManPage(unittest.TestCase):
    def page(self, program):
        return man_render(os.path.join(ARGS.man_pages, program + ".1"))

    def test_the_environment_names_every_variable(self):
        environment = man_sections(self.page("measconv"))["ENVIRONMENT"]
        entries = {line.strip().split()[0] for line in environment if re.match(r"^       [A-Z]", line)}
        variables = variables_read()
        self.assertTrue({"MEASCONV_JOBS", "MEASCONV_SHARD", "MEASCONV_PROGRESS"} <= variables, variables)
        for name in sorted(variables | {"TZ"}):
            with self.subTest(variable=name):
                self.assertIn(name, entries)
        for name in sorted(variables):
            if name.startswith("MEASCONV_"):
                self.assertIn("`%s`" % name, source("README.md"))
                self.assertIn("`%s`" % name, source("doc/user-guide.md"))

    def test_the_progress_line_and_the_recipes(self):
        rendered = self.page("measconv")
        self.assertIn("measconv: 37/200 files, 412 MB written, 230 MB/s, 0:12 left", rendered)
        self.assertIn("cluster/parallel-shards.sh tpwc runs.lst", rendered)
        self.assertIn("sbatch --array=0-15 cluster/slurm-shards.sbatch tpwc runs.lst", rendered)
        self.assertIn("HDF5", " ".join(man_sections(rendered)["NAME"]))

    def test_see_also_names_every_other_program(self):
        programs = sorted(name[:-2] for name in os.listdir(ARGS.man_pages) if name.endswith(".1"))
        self.assertIn("measinfo", programs)
        for program in programs:
            see_also = " ".join(man_sections(self.page(program))["SEE ALSO"])
            for other in programs:
                if other != program:
                    with self.subTest(page=program, other=other):
                        self.assertIn(other + "(1)", see_also)

    def test_the_examples_render_what_measconv_writes(self):
        folder = fresh_folder(self)
        convert_the_example(self, folder)
        rendered = man_sections(self.page("measconv"))["OUTPUT FILES"]
        shown = [line.strip() for line in rendered]
        csv = lines_of(os.path.join(folder, "ex_pv.csv"))
        start = shown.index(csv[0])
        self.assertEqual(shown[start:start + len(csv)], csv)
        self.assertIn("1.5000, ,", shown[start + 1])
        # The text file: tabs render as runs of spaces.
        text = [" ".join(line.split()) for line in lines_of(os.path.join(folder, "ex_pv.txt"))]
        start = shown.index(text[0])
        self.assertEqual([" ".join(line.split()) for line in shown[start:start + len(text)]], text)
        self.assertIn("converted with TZ=UTC measconv tpwcs ex.dat ex.", " ".join(" ".join(shown).split()))


class Spreadsheet(unittest.TestCase):
    def recipe(self, starts):
        blocks = fenced_blocks(section(source("doc/loading.md"), "## Spreadsheets (LibreOffice Calc)"), "sh")
        return next(block for block in blocks if block.startswith(starts))

    def convert(self, folder, *measgen_options, letters="cp", tz="Europe/Berlin"):
        subprocess.run([os.path.join(ARGS.bin, "measgen"), os.path.join(folder, "run.dat")] + list(measgen_options),
                       check=True)
        subprocess.run([os.path.join(ARGS.bin, "measconv"), letters, "run.dat", "out"], cwd=folder, check=True,
                       env=dict(ENV, TZ=tz))

    @unittest.skipUnless(os.environ.get("MEASCONV_SOFFICE") or shutil.which("soffice"), "no soffice (LibreOffice)")
    def test_the_import_gives_dates_numbers_and_empty_cells(self):
        folder = fresh_folder(self)
        # Invalid readings in both sensors, the change to winter time in Berlin within the records.
        self.convert(folder, "--sensors", "2", "--records", "40", "--rate", "1", "--start", "1698537590",
                     "--invalid-every", "3", "--record", "1,2,0.00004:1500000,-1234.5:1650000")
        command = self.recipe("soffice ")
        env = dict(ENV, HOME=folder, TZ="Europe/Berlin")
        if ARGS.soffice:
            env["PATH"] = os.path.dirname(ARGS.soffice) + ":" + env["PATH"]
        result = subprocess.run(["bash", "-c", command], cwd=folder, env=env, capture_output=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = ods_rows(os.path.join(folder, "out_pv.ods"))
        csv = [line.split(",") for line in lines_of(os.path.join(folder, "out_pv.csv"))]
        self.assertEqual(len(rows), len(csv))
        self.assertEqual(rows[0], [("string", cell) for cell in csv[0]])
        invalid = 0
        for row, line in zip(rows[1:], csv[1:]):
            self.assertEqual(row[0], ("date", line[0].replace(" ", "T")))
            self.assertEqual(row[1], ("float", str(int(line[1]))))
            for cell, text in zip(row[2:], line[2:]):
                if text == " ":
                    invalid += 1
                    self.assertEqual(cell, (None, None))
                else:
                    self.assertEqual(cell[0], "float")
                    self.assertEqual(float(cell[1]), float(text))
        self.assertGreater(invalid, 10)

    def test_the_split_keeps_every_record_under_the_row_limit(self):
        folder = fresh_folder(self)
        self.convert(folder, "--sensors", "1", "--records", "1048577", "--rate", "1000")
        result = subprocess.run(["bash", "-c", self.recipe("tail ")], cwd=folder, env=ENV, capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        whole = lines_of(os.path.join(folder, "out_pv.csv"))
        parts = [lines_of(os.path.join(folder, "out_pv_part%02d.csv" % i)) for i in range(2)]
        self.assertFalse(os.path.exists(os.path.join(folder, "out_pv_part02.csv")))
        self.assertEqual([len(part) for part in parts], [1048576, 3])
        self.assertEqual([part[0] for part in parts], [whole[0]] * 2)
        self.assertEqual(parts[0][1:] + parts[1][1:], whole[1:])


def ods_rows(path):
    """The cells of an .ods file's first sheet: (value type, value) per cell, rows in order."""
    ns = {"table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
          "office": "urn:oasis:names:tc:opendocument:xmlns:office:1.0",
          "text": "urn:oasis:names:tc:opendocument:xmlns:text:1.0"}
    with zipfile.ZipFile(path) as ods:
        root = ElementTree.fromstring(ods.read("content.xml"))
    rows = []
    for row in root.find(".//table:table", ns).findall("table:table-row", ns):
        cells = []
        for cell in row.findall("table:table-cell", ns):
            kind = cell.get("{%s}value-type" % ns["office"])
            value = {"date": cell.get("{%s}date-value" % ns["office"]),
                     "float": cell.get("{%s}value" % ns["office"]),
                     "string": "".join(cell.itertext())}.get(kind)
            repeat = int(cell.get("{%s}number-columns-repeated" % ns["table"], "1"))
            cells += [(kind, value)] * min(repeat, 64)
        while cells and cells[-1] == (None, None):
            cells.pop()
        repeat = int(row.get("{%s}number-rows-repeated" % ns["table"], "1"))
        if cells:
            rows += [cells] * repeat
    return rows


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--man-pages", required=True)
    parser.add_argument("--soffice", default="")
    ARGS, rest = parser.parse_known_args()
    for name in ("bin", "source", "man_pages"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    if ARGS.soffice:
        os.environ["MEASCONV_SOFFICE"] = ARGS.soffice
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
