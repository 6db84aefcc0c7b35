"""The element classes: construction, fields, signatures and representations."""

import inspect
import math

import pytest

import movarin
from movarin import Element

# code -> field names, in catalogue order
KINDS = {
    "R": ("r",),
    "C": ("c",),
    "L": ("l",),
    "La": ("l", "alpha"),
    "Cpe": ("q", "alpha"),
    "W": ("aw",),
    "Wo": ("z0", "tau"),
    "Ws": ("z0", "tau"),
    "G": ("rg", "tg"),
    "Gs": ("rg", "tg", "phi"),
    "K": ("r", "tau_k"),
    "Zarc": ("r", "tau_k", "gamma"),
    "Tlmq": ("r_ion", "qs", "gamma"),
    "T": ("a", "b", "k_tau", "tau"),
}


@pytest.mark.parametrize("code, fields", KINDS.items())
def test_kind_class_shape(code, fields):
    kind = getattr(Element, code)
    assert kind is getattr(movarin, code)
    assert kind.__name__ == f"Element_{code}"
    assert kind.__module__ == "movarin"
    assert issubclass(kind, Element)
    assert kind.__match_args__ == fields
    assert kind.__text_signature__ == "(" + ", ".join(fields) + ")"
    assert list(inspect.signature(kind).parameters) == list(fields)
    assert all(getattr(kind, field).__doc__ == "" for field in fields)


@pytest.mark.parametrize("code, fields", KINDS.items())
def test_fields_read_back_as_floats_positionally_and_by_keyword(code, fields):
    kind = getattr(Element, code)
    values = [i + 1 for i in range(len(fields))]  # ints go through the float protocol
    for element in (kind(*values), kind(**dict(zip(fields, values)))):
        assert isinstance(element, Element)
        for field, value in zip(fields, values):
            read = getattr(element, field)
            assert type(read) is float and read == value


def test_fields_are_read_only():
    element = Element.R(1.0)
    with pytest.raises(AttributeError):
        element.r = 2.0


@pytest.mark.parametrize(
    "element, text",
    [
        (Element.G(1, 0.001), "Element.G(rg=1.0, tg=0.001)"),
        (Element.Cpe(0.001, 0.8), "Element.Cpe(q=0.001, alpha=0.8)"),
        (Element.R(0.00001), "Element.R(r=1e-5)"),
        (Element.R(3), "Element.R(r=3.0)"),
        (Element.R(100.0), "Element.R(r=100.0)"),
        (Element.R(-0.0), "Element.R(r=-0.0)"),
        (Element.R(1e16), "Element.R(r=1e16)"),
        (Element.R(math.inf), "Element.R(r=inf)"),
        (Element.R(math.nan), "Element.R(r=NaN)"),
        (Element.Tlmq(1, 2.5e-7, 0.5), "Element.Tlmq(r_ion=1.0, qs=2.5e-7, gamma=0.5)"),
        (Element.T(1, 2, 3, 4), "Element.T(a=1.0, b=2.0, k_tau=3.0, tau=4.0)"),
    ],
)
def test_repr(element, text):
    assert repr(element) == text
    assert str(element) == text


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class BrokenFloat:
    def __float__(self):
        raise ValueError("no value here")


def test_objects_with_float_or_index_are_accepted():
    element = Element.G(Floaty(), Indexy())
    assert (element.rg, element.tg) == (2.5, 7.0)


@pytest.mark.parametrize(
    "call, exception, text",
    [
        (lambda: Element.G(1.0, "x"), TypeError, "argument 'tg': must be real number, not str"),
        (lambda: Element.G(rg=None, tg=1.0), TypeError,
         "argument 'rg': must be real number, not NoneType"),
        # Only a TypeError is renamed after the argument; others pass unchanged.
        (lambda: Element.R(BrokenFloat()), ValueError, "no value here"),
    ],
)
def test_conversion_errors(call, exception, text):
    with pytest.raises(exception) as raised:
        call()
    assert type(raised.value) is exception
    assert str(raised.value) == text


@pytest.mark.parametrize(
    "call",
    [
        lambda: Element.G(1.0),
        lambda: Element.G(1.0, tg=2.0, rg=3.0),
    ],
)
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_element_has_no_constructor_and_kinds_cannot_be_subclassed():
    with pytest.raises(TypeError, match="^No constructor defined for Element$"):
        Element()
    with pytest.raises(TypeError):

        class Resistor(Element.R):
            pass


def test_python_subclass_of_element_holds_no_element():
    class Custom(Element):
        pass

    with pytest.raises(TypeError, match="^No constructor defined for Custom$"):
        Custom()
    with pytest.raises(TypeError):
        object.__new__(Custom)


def test_class_of_an_element_cannot_be_reassigned():
    class Custom(Element):
        __slots__ = ()

    with pytest.raises(TypeError):
        Element.R(1.0).__class__ = Custom


def test_match_destructures_positionally():
    match Element.G(2.0, 3.0):
        case Element.G(rg, tg):
            assert (rg, tg) == (2.0, 3.0)
        case _:
            pytest.fail("no match")
