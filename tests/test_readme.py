"""The README's code runs as written."""

import re

import pytest
from support import REPO

BLOCKS = re.findall(r"```python\n(.*?)```", (REPO / "README.md").read_text(), re.DOTALL)


def test_the_readme_has_code_to_run():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("block", BLOCKS, ids=[b.split("\n")[0] for b in BLOCKS])
def test_readme_block_runs(block, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    exec(compile(block, "README.md", "exec"), {})
    printed = capsys.readouterr().out
    assert "False" not in printed
