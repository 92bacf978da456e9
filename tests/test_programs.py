"""Random clause programs give the rows, errors and graph effects recorded from
the query run before it was compiled into plans (see tests/programs.py)."""

import json

import pytest

import programs

with open(programs.DATA) as f:
    RECORDED = json.load(f)


@pytest.mark.parametrize("seed", range(len(RECORDED)))
def test_program_observations_unchanged(seed):
    observation = programs.observe(seed)
    assert programs.digest(observation) == RECORDED[seed], observation
