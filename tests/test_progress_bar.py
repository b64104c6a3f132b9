"""The progress bar of vorlen.map: tqdm's text form outside Jupyter and in a
notebook without ipywidgets (with no warning), its widget form when
ipywidgets is there, and a widget that ends in its error state when
requests failed."""
import sys
import types
import warnings

import pytest

from vorlen import _progress

FAILED = ["EXCEPTION", "", "Traceback ...", {}]
DONE = ["SUCCESS", "", "", {}]


class FakeWidgetBar:
    """Stands in for tqdm's notebook bar: records how it is drawn."""

    def __init__(self, **options):
        self.options = options
        self.styles = []
        self.closed = False

    def set_postfix_str(self, text, refresh=True):
        self.postfix = text

    def update(self, n):
        pass

    def disp(self, bar_style=None, **options):
        self.styles.append(bar_style)

    def close(self):
        self.closed = True


@pytest.fixture
def notebook(monkeypatch):
    """Pretends to be a Jupyter kernel; `widgets(True)` installs a stand-in
    for tqdm's notebook module whose ipywidgets were found."""
    monkeypatch.setattr(_progress, "_in_notebook", lambda: True)

    def widgets(found):
        fake = types.ModuleType("tqdm.notebook")
        fake.IProgress = object() if found else None
        fake.tqdm_notebook = FakeWidgetBar
        monkeypatch.setitem(sys.modules, "tqdm.notebook", fake)

    return widgets


@pytest.mark.parametrize("in_notebook", [False, True])
def test_text_form_without_widgets_and_without_warning(notebook, monkeypatch, in_notebook,
                                                       capsys):
    notebook(found=False)
    if not in_notebook:
        monkeypatch.setattr(_progress, "_in_notebook", lambda: False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        bar = _progress.reporter(True, 2)
        bar.answered(1, DONE)
        bar.answered(2, FAILED)
        bar.close()
    assert bar.widget is None
    assert "2/2" in capsys.readouterr().err and "failed=1" in bar.bar.postfix


@pytest.mark.parametrize("answers, styles", [([DONE, DONE], []), ([DONE, FAILED], ["danger"])])
def test_widget_form_ends_in_error_state_when_requests_failed(notebook, answers, styles):
    notebook(found=True)
    bar = _progress.reporter(True, len(answers))
    for done, answer in enumerate(answers, 1):
        bar.answered(done, answer)
    bar.close()
    assert isinstance(bar.bar, FakeWidgetBar) and bar.bar is bar.widget
    assert bar.bar.styles == styles and bar.bar.closed
