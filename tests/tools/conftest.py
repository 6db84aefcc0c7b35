"""Fixtures shared by the movarin_tools tests."""

from pathlib import Path

import pytest

MEASURED_DIR = Path(__file__).resolve().parents[2] / "examples" / "data" / "measured"


@pytest.fixture(scope="session")
def measured_dir() -> Path:
    """The measured instrument files shipped in examples/data/measured."""
    return MEASURED_DIR
