import pytest


def item(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    """A recipe item with every required key; extra keys (value, offset_bits, ...) as given."""
    d = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
    }
    d.update(extra)
    return d


@pytest.fixture
def make_item():
    return item


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: many calls or large sizes (a few seconds each)")
