#!/usr/bin/env python3
"""scripts/check-docs on small trees: what it must let pass and what it must
report, line by line. Run by scripts/test before the check of the real tree."""
import os
import subprocess
import sys
import tempfile

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "check-docs")

# The program's words: a label, a message and a reason, each shown by the
# README and the manual page; a commented and an included name are not words.
PROGRAM = {
    "src/main.cpp": """#include "scanner.h"
// "Not shown" in a comment
int main() { print("Tarama tamamlandi.\\n\\nSupheli: "); print(" -> "); fail("Hata: Yok."); return fail("Hata: Yok."); }
""",
    "src/scanner.h": '{".scr", "Ekran koruyucu uzantısı"},\n',
}
README_WORDS = "Tarama\ntamamlandi. Supheli: 1 -> `Hata: Yok.` Ekran koruyucu uzantısı\n"
MANUAL = """.TH X 1
.SH NAME
x \\- y
.SH DESCRIPTION
Tarama tamamlandi.
.B Supheli:
a \\-> b
.B Hata: Yok.
Ekran koruyucu uzant\\[u0131]s\\[u0131]
"""

GOOD = dict(PROGRAM)
GOOD.update({
    "docs/dravelon.1": MANUAL,
    "README.md": README_WORDS + """# Top

See [a](docs/a.md), [two](docs/a.md#section-two), [here](#top), [the sources](src/),
[a site](https://example.org/x.md), [another](//example.org/y.md), ![a picture](docs/p.png) and [ref].
Code is not read: `[x](missing.md)`.

```
[x](fenced.md)
```

    [x](indented.md)

## `foo` and bar, (baz)
## Dup
## Dup
## Şirket ğ
## See [the other](docs/a.md) snake_case Noe\u0308l

[ref]: docs/a.md#dup-1
""",
    "docs/a.md": """# A
## Section two
## Dup
## Dup
[back](../README.md#foo-and-bar-baz), [again](../README.md#dup-1), [letters](../README.md#şirket-ğ),
[marks](../README.md#see-the-other-snake_case-noe\u0308l)
""",
    "docs/p.png": "",
    "src/x.cpp": "",
    "docs/notes.txt": "Not Markdown, so not read: [x](nowhere.md)\n",
    ".gitignore": "build/\n",
    "build/ignored.md": "[x](nowhere.md)\n",
})

BROKEN = dict(GOOD)
BROKEN.update({
    "docs/b.md": """# B
[gone](gone.md) and [no heading](a.md#section-three) and [self](#b-two)
[code file](../src/x.cpp#main) [absolute](/etc/passwd) [outside](../../outside.md)
- an item
  [listed](gone2.md)
text
    [continued](gone3.md)
```
```
[after a fence](gone4.md)

[ref]: missing-ref.md
[empty]()
""",
})
BROKEN_EXPECTED = """\
check-docs: docs/b.md:2: gone.md: no such file
check-docs: docs/b.md:2: a.md#section-three: no heading #section-three in docs/a.md
check-docs: docs/b.md:2: #b-two: no heading #b-two in docs/b.md
check-docs: docs/b.md:3: ../src/x.cpp#main: a heading named in a file that is not Markdown
check-docs: docs/b.md:3: /etc/passwd: an absolute path, which leads nowhere outside this tree
check-docs: docs/b.md:3: ../../outside.md: leads out of the tree
check-docs: docs/b.md:5: gone2.md: no such file
check-docs: docs/b.md:7: gone3.md: no such file
check-docs: docs/b.md:10: gone4.md: no such file
check-docs: docs/b.md:12: missing-ref.md: no such file
check-docs: docs/b.md:13: : empty link
"""

WORDS_MISSING = dict(GOOD)
WORDS_MISSING.update({
    "README.md": GOOD["README.md"].replace("Supheli: ", ""),
    "docs/dravelon.1": MANUAL.replace(".B Hata: Yok.\n", "").replace("Ekran", "Eran"),
})
WORDS_MISSING_EXPECTED = """\
check-docs: README.md does not show the program's text "Supheli:"
check-docs: docs/dravelon.1 does not show the program's text "Hata: Yok."
check-docs: docs/dravelon.1 does not show the program's text "Ekran koruyucu uzantısı"
"""

# name, files, whether the tree is a git checkout, the status and standard error.
CASES = [
    ("every kind of good link", GOOD, True, 0, ""),
    ("every kind of broken link", BROKEN, True, 1, BROKEN_EXPECTED),
    ("every kind of broken link, outside git", BROKEN, False, 1, BROKEN_EXPECTED),
    ("a label missing from the README, a message and a reason from the manual page", WORDS_MISSING,
     True, 1, WORDS_MISSING_EXPECTED),
]


def run(files, in_git):
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "tree")
        for name, text in files.items():
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as file:
                file.write(text)
        with open(os.path.join(work, "outside.md"), "w", encoding="utf-8"):
            pass
        if in_git:
            subprocess.run(["git", "init", "-q", root], check=True)
        done = subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True)
        return done.returncode, done.stderr


def main():
    failed = 0
    for name, files, in_git, status, errors in CASES:
        got_status, got_errors = run(files, in_git)
        if (got_status, got_errors) != (status, errors):
            failed += 1
            print(f"check_docs_test: {name}: status {got_status}, expected {status}; standard error:\n"
                  f"{got_errors}expected:\n{errors}", file=sys.stderr)
    if failed:
        sys.exit(1)
    print(f"ok: check-docs on {len(CASES)} trees")


if __name__ == "__main__":
    main()
