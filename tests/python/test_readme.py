"""The README's snippets run as written."""
import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def snippet(section):
    text = README.read_text(encoding="utf-8")
    body = text.split(f"## {section}\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", body, re.DOTALL).group(1)


def test_the_building_a_network_snippet_runs(capsys):
    exec(compile(snippet("Building a network"), str(README), "exec"), {"__name__": "readme"})
    assert capsys.readouterr().out.strip()
