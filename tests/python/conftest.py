import pytest


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.fixture
def raises_with_note():
    """Asserts an exception of `cls`, message `message` and the argument note."""

    def check(cls, message, name, fn, *args, **kwargs):
        with pytest.raises(cls) as excinfo:
            fn(*args, **kwargs)
        if message is not None:
            assert str(excinfo.value) == message
        assert f"while processing '{name}'" in notes(excinfo)
        return excinfo.value

    return check
