"""_HandleContent, the capture object filled by xprint and xreturn."""
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vorlen.tamsel import _HandleContent


@pytest.fixture
def pc():
    return _HandleContent()


class BadStr:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


def test_new_instance_is_empty_and_built_through_clear():
    assert list(vars(_HandleContent()).items()) == [("print_content", ""),
                                                    ("return_content", {})]
    calls = []

    class Counting(_HandleContent):
        def clear(self):
            calls.append(self)
            super().clear()

    made = Counting()
    assert calls == [made]


def test_clear_binds_new_objects_and_leaves_old_ones_alone(pc):
    pc.xprint("kept")
    pc.xreturn(a=1)
    old_text, old_dict = pc.print_content, pc.return_content
    assert pc.clear() is None
    assert (pc.print_content, pc.return_content) == ("", {})
    pc.xreturn(b=2)
    assert old_text == "kept\n" and old_dict == {"a": 1}


@pytest.mark.parametrize("args, kwargs, expected", [
    (("a", 1, 2.5), {}, "a12.5\n"),
    ((), {}, "\n"),
    (("a",), {"end": ""}, "a"),
    (("x", None), {"end": "!"}, "xNone!"),
])
def test_xprint_joins_items_without_separator(pc, args, kwargs, expected):
    assert pc.xprint(*args, **kwargs) is None
    assert pc.print_content == expected


def test_str_subclass_items_are_converted_with_str(pc):
    class Loud(str):
        def __str__(self):
            return "LOUD"

    pc.xprint(Loud("quiet"), end="")
    assert pc.print_content == "LOUD" and type(pc.print_content) is str


def test_items_that_cannot_be_printed_are_dropped_silently(pc):
    try:
        raise LookupError("outer")
    except LookupError as outer:
        pc.xprint("a", BadStr(ValueError()), BadStr(KeyboardInterrupt()),
                  BadStr(SystemExit(3)), "b")
        assert sys.exception() is outer  # the handled exception is untouched
    assert pc.print_content == "ab\n"


def test_bad_end_raises_after_the_items_were_added(pc):
    for end in (None, 5):
        with pytest.raises(TypeError):
            pc.xprint("a", end=end)
    assert pc.print_content == "aa"


def test_print_content_is_read_before_the_item_is_converted(pc):
    class Meddler:
        def __str__(self):
            pc.print_content = "replaced"
            return "w"

    pc.xprint("start;", end="")
    pc.xprint(Meddler())
    assert pc.print_content == "start;w\n"


def test_growth_never_changes_a_string_held_elsewhere(pc):
    shared = "".join(["ab", "c"])
    pc.print_content = shared
    pc.xprint("d")
    assert shared == "abc"
    single = "q"
    pc.print_content = single
    pc.xprint("r")
    assert len(single) == 1 and len(chr(113)) == 1
    assert pc.print_content == "qr\n"


@settings(max_examples=60, deadline=None)
@given(st.lists(st.text(max_size=6), max_size=8), st.text(max_size=3))
def test_content_equals_plain_concatenation_and_handed_out_texts_stay(items, end):
    pc = _HandleContent()
    expected, seen = "", []
    for item in items:
        pc.xprint(item, end=end)
        expected += item + end
        seen.append((pc.print_content, expected))
    for got, want in seen:
        assert got == want


def test_xreturn_merges_keywords_later_values_win(pc):
    pc.xreturn(a=1)
    content = pc.return_content
    pc.xreturn(b=2, a=3)
    assert pc.xreturn() is None
    assert pc.return_content is content
    assert list(content.items()) == [("a", 3), ("b", 2)]


def test_argument_errors(pc):
    cases = [
        (lambda: pc.xprint("a", sep=" "), "xprint() got an unexpected keyword argument 'sep'"),
        (lambda: pc.xprint(self=pc), "xprint() got multiple values for keyword argument 'self'"),
        (lambda: pc.xreturn(1), "xreturn() takes exactly 1 positional argument (2 given)"),
        (lambda: pc.xreturn(self=1), "xreturn() got multiple values for keyword argument 'self'"),
        (lambda: pc.clear(1), "clear() takes exactly 1 positional argument (2 given)"),
        (lambda: _HandleContent(1), "__init__() takes exactly 1 positional argument (2 given)"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert (pc.print_content, pc.return_content) == ("", {})


def test_subclass_with_property_print_content():
    class PropertyContent(_HandleContent):
        stores = []

        @property
        def print_content(self):
            return self._text

        @print_content.setter
        def print_content(self, value):
            self.stores.append(value)
            self._text = value

    pc = PropertyContent()
    pc.xprint("a", BadStr(ValueError()), 1)
    assert pc.print_content == "a1\n"
    assert pc.stores == ["", "a", "a1", "a1\n"]
    assert "print_content" not in vars(pc)


def test_subclass_with_attribute_hook_sees_every_store():
    stores = []

    class Hooked(_HandleContent):
        def __setattr__(self, name, value):
            stores.append((name, value))
            super().__setattr__(name, value)

    pc = Hooked()
    stores.clear()
    pc.xprint("x", "y")
    assert stores == [("print_content", "x"), ("print_content", "xy"),
                      ("print_content", "xy\n")]
