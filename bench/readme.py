"""Copies bench/results.md into the README between its two markers, so the
README's performance figures are always those of the committed run."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results.md"
README = ROOT / "README.md"
SECTION = re.compile(r"(<!-- bench/results\.md: copied in by bench/readme\.py -->\n)"
                     r"(.*?)(<!-- end of bench/results\.md -->\n)", re.S)


def copied(readme, results):
    """The README text with `results` between the markers."""
    text, count = SECTION.subn(lambda m: m.group(1) + results + m.group(3), readme)
    if count != 1:
        raise ValueError("README.md must hold the bench/results.md markers once")
    return text


def main():
    README.write_text(copied(README.read_text(), RESULTS.read_text()))


if __name__ == "__main__":
    main()
