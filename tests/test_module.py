"""The module frame: import, the seven types and the argument conventions
shared by every constructor, method and settable attribute."""

import importlib
import sys
import weakref

import numpy
import pytest

import kelpa

TYPE_NAMES = [
    "Fasta",
    "Faidx",
    "Sequence",
    "FastaRecord",
    "FastaIterator",
    "SequenceIterator",
    "MutableFastaRecord",
]
SIGNATURES = {
    "Fasta": "(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
    "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, filt_function=None, "
    "one_based_attributes=True, read_long_names=False, duplicate_action=..., "
    "sequence_always_upper=False, rebuild=True, build_index=True)",
    "Faidx": "(filename, indexname=None, as_raw=False, strict_bounds=False, sequence_always_upper=False, "
    "rebuild=True, build_index=True, one_based_attributes=True, default_seq=None, mutable=False, "
    "key_function=None, split_char=None, filt_function=None, read_long_names=False, "
    "duplicate_action=..., read_ahead=None)",
    "Sequence": "(name=..., seq=..., start=None, end=None, comp=False)",
}
NO_CONSTRUCTOR = [name for name in TYPE_NAMES if name not in SIGNATURES]


@pytest.fixture
def fasta_path(make_fasta):
    return make_fasta([("chr1", "ACGTACGTAC")])


# ---- importing ---------------------------------------------------------------


def test_all_lists_the_seven_types_in_registration_order():
    assert kelpa.__all__ == TYPE_NAMES
    assert type(kelpa.__all__) is list
    assert [name for name in dir(kelpa) if not name.startswith("_")] == sorted(TYPE_NAMES)


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    first = sys.modules.pop("kelpa")
    try:
        again = importlib.import_module("kelpa")
        assert again is first
        assert again.Sequence is first.Sequence
    finally:
        sys.modules["kelpa"] = first


# ---- the types ---------------------------------------------------------------


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_type_presents_itself_as_a_builtin(name):
    cls = getattr(kelpa, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name", SIGNATURES)
def test_constructible_types_carry_only_their_text_signature(name):
    cls = getattr(kelpa, name)
    assert cls.__text_signature__ == SIGNATURES[name]
    assert cls.__doc__ == ""


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_other_types_have_no_docstring(name):
    cls = getattr(kelpa, name)
    assert cls.__doc__ is None
    assert cls.__text_signature__ is None


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
@pytest.mark.parametrize("args", [(), ("chr1",)])
def test_types_without_constructor_refuse_to_be_called(name, args):
    with pytest.raises(TypeError) as e:
        getattr(kelpa, name)(*args)
    assert str(e.value) == "No constructor defined for " + name


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_types_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(kelpa, name),), {})


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_instances_have_no_dict_and_no_weakref_slot(name):
    cls = getattr(kelpa, name)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def instances(path):
    fasta = kelpa.Fasta(path)
    record = fasta["chr1"]
    return [kelpa.Sequence(), kelpa.Faidx(path), fasta, record, iter(fasta), iter(record)]


def test_instances_take_no_extra_attributes_and_no_weak_references(fasta_path):
    for obj in instances(fasta_path):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.colour = "red"
        with pytest.raises(TypeError):
            weakref.ref(obj)


# ---- argument binding --------------------------------------------------------

BINDING_CASES = [  # (call on faidx, fasta, path; message)
    (lambda f, x, p: kelpa.Sequence("a", "b", 1, 2, False, 6),
     "Sequence.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda f, x, p: kelpa.Faidx(p, None, False, False, False, True, True, True, None, False, None, None, None,
                                 False, "stop", None, 17),
     "Faidx.__new__() takes from 1 to 16 positional arguments but 17 were given"),
    (lambda f, x, p: f.fetch("chr1", 1, 2, 3), "Faidx.fetch() takes 3 positional arguments but 4 were given"),
    (lambda f, x, p: f.fetch_entire_sequence("chr1", "chr2"),
     "Faidx.fetch_entire_sequence() takes 1 positional arguments but 2 were given"),
    (lambda f, x, p: x.keys(1), "Fasta.keys() takes 0 positional arguments but 1 was given"),
    (lambda f, x, p: x.close(1, 2), "Fasta.close() takes 0 positional arguments but 2 were given"),
    (lambda f, x, p: kelpa.Sequence("a", name="b"), "Sequence.__new__() got multiple values for argument 'name'"),
    (lambda f, x, p: f.fetch("chr1", 1, 2, start=1), "Faidx.fetch() got multiple values for argument 'start'"),
    (lambda f, x, p: kelpa.Sequence(sequence="A"), "Sequence.__new__() got an unexpected keyword argument 'sequence'"),
    (lambda f, x, p: f.fetch("chr1", 1, 2, strand="-"), "Faidx.fetch() got an unexpected keyword argument 'strand'"),
    (lambda f, x, p: kelpa.Fasta(p, index="x.fai"), "Fasta.__new__() got an unexpected keyword argument 'index'"),
    (lambda f, x, p: f.fetch("chr1", 1), "Faidx.fetch() missing 1 required positional argument: 'end'"),
    (lambda f, x, p: f.fetch("chr1"), "Faidx.fetch() missing 2 required positional arguments: 'start' and 'end'"),
    (lambda f, x, p: f.fetch(end=3), "Faidx.fetch() missing 2 required positional arguments: 'name' and 'start'"),
    (lambda f, x, p: f.fetch(),
     "Faidx.fetch() missing 3 required positional arguments: 'name', 'start', and 'end'"),
    (lambda f, x, p: kelpa.Faidx(), "Faidx.__new__() missing 1 required positional argument: 'filename'"),
    (lambda f, x, p: kelpa.Fasta(indexname="x"), "Fasta.__new__() missing 1 required positional argument: 'filename'"),
    # check order: the positional count, then each keyword as given, then missing parameters
    (lambda f, x, p: f.fetch("chr1", 1, 2, 3, strand="-"), "Faidx.fetch() takes 3 positional arguments but 4 were given"),
    (lambda f, x, p: f.fetch("chr1", name="x", strand="-"), "Faidx.fetch() got multiple values for argument 'name'"),
    (lambda f, x, p: f.fetch("chr1", strand="-", name="x"), "Faidx.fetch() got an unexpected keyword argument 'strand'"),
    (lambda f, x, p: f.fetch(strand="-"), "Faidx.fetch() got an unexpected keyword argument 'strand'"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES)
def test_binding_errors(fasta_path, call, message):
    faidx, fasta = kelpa.Faidx(fasta_path), kelpa.Fasta(fasta_path)
    with pytest.raises(TypeError) as e:
        call(faidx, fasta, fasta_path)
    assert str(e.value) == message


def test_parameters_bind_by_position_or_keyword(fasta_path):
    faidx = kelpa.Faidx(fasta_path)
    results = [
        faidx.fetch("chr1", 2, 5),
        faidx.fetch(name="chr1", start=2, end=5),
        faidx.fetch("chr1", 2, end=5),
        faidx.fetch(end=5, start=2, name="chr1"),
    ]
    assert {(r.name, r.seq, r.start, r.end, r.comp) for r in results} == {("chr1", "CGTA", 2, 5, False)}
    by_keyword = kelpa.Sequence(comp=True, end=4, start=1, seq="ACGT", name="chr1")
    by_position = kelpa.Sequence("chr1", "ACGT", 1, 4, True)
    for s in (by_keyword, by_position):
        assert (s.name, s.seq, s.start, s.end, s.comp) == ("chr1", "ACGT", 1, 4, True)


# ---- argument conversion -----------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


CONVERSION_ERRORS = [
    ({"name": 5}, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ({"seq": b"ACGT"}, "argument 'seq': 'bytes' object cannot be converted to 'PyString'"),
    ({"seq": None}, "argument 'seq': 'NoneType' object cannot be converted to 'PyString'"),
    ({"comp": None}, "argument 'comp': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"comp": 1}, "argument 'comp': 'int' object cannot be converted to 'PyBool'"),
    ({"comp": "True"}, "argument 'comp': 'str' object cannot be converted to 'PyBool'"),
    ({"comp": numpy.int64(1)}, "argument 'comp': 'int64' object cannot be converted to 'PyBool'"),
    ({"start": 1.5}, "argument 'start': 'float' object cannot be interpreted as an integer"),
    ({"end": "10"}, "argument 'end': 'str' object cannot be interpreted as an integer"),
    ({"name": 1, "seq": 2}, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ({"start": "x", "comp": 1}, "argument 'start': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("kwargs, message", CONVERSION_ERRORS)
def test_conversion_errors_name_the_argument(kwargs, message):
    with pytest.raises(TypeError) as e:
        kelpa.Sequence(**kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("value", [-1, 2**64, Index(-1), Index(2**64)])
@pytest.mark.parametrize("field", ["start", "end"])
def test_out_of_range_integers_raise_overflow_error_unchanged(field, value):
    with pytest.raises(OverflowError) as e:
        kelpa.Sequence(**{field: value})
    assert type(e.value) is OverflowError
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize("value, expected", [(0, 0), (2**64 - 1, 2**64 - 1), (True, 1), (Index(7), 7),
                                             (numpy.int64(3), 3), (numpy.uint64(2**64 - 1), 2**64 - 1)])
def test_unsigned_parameters_take_anything_with_index(value, expected):
    s = kelpa.Sequence(start=value, end=value)
    assert (s.start, s.end) == (expected, expected)
    assert type(s.start) is int


@pytest.mark.parametrize("value, expected", [(True, True), (False, False),
                                             (numpy.bool_(True), True), (numpy.bool_(False), False)])
def test_boolean_parameters_take_bools_and_numpy_bools(value, expected):
    assert kelpa.Sequence(comp=value).comp is expected
    s = kelpa.Sequence(comp=not expected)
    s.comp = value
    assert s.comp is expected


def test_faidx_arguments_follow_the_same_conversions(fasta_path):
    faidx = kelpa.Faidx(fasta_path, as_raw=numpy.bool_(False))
    with pytest.raises(TypeError) as e:
        faidx.fetch("chr1", 1.5, 10)
    assert str(e.value) == "argument 'start': 'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as e:
        faidx.fetch(1, 1, 10)
    assert str(e.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(OverflowError):
        faidx.fetch("chr1", -1, 10)
    with pytest.raises(TypeError) as e:
        kelpa.Faidx(fasta_path, as_raw=1)
    assert str(e.value) == "argument 'as_raw': 'int' object cannot be converted to 'PyBool'"


def test_rewrapped_type_error_keeps_the_original_cause():
    root = ValueError("root cause")

    class Broken:
        def __index__(self):
            raise TypeError("no number here") from root

    with pytest.raises(TypeError) as e:
        kelpa.Sequence(start=Broken())
    assert str(e.value) == "argument 'start': no number here"
    assert e.value.__cause__ is root
    s = kelpa.Sequence()
    with pytest.raises(TypeError) as e:
        s.end = Broken()
    assert str(e.value) == "argument 'end': no number here"
    assert e.value.__cause__ is root


def test_other_exceptions_from_conversion_pass_unchanged():
    class Failing:
        def __index__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError) as e:
        kelpa.Sequence(start=Failing())
    assert e.value.args == ("inner",)
