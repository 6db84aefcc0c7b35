#include "python/element_types.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/number_format.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"

namespace movarin::python {
namespace {

constexpr const char* kElementDoc =
    "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

// Everything a kind class's type object points to; it lives as long as the process.
struct KindClass {
  std::string class_name;      // Element_G
  std::string qualified_name;  // movarin.Element_G
  std::string doc;             // Element_G(rg, tg)\n--\n\n
  std::string parse_format;    // OO:Element_G
  std::vector<std::string> field_names;
  std::vector<char*> keywords;
  std::vector<PyGetSetDef> getters;
  PyTypeObject* type = nullptr;
};

using KindClasses = std::array<KindClass, kKindCount>;

KindClasses& kind_classes() {
  // Type objects keep pointers into these for the life of the process, so they are never freed.
  static KindClasses* classes = new KindClasses();
  return *classes;
}

PyTypeObject* g_element_type = nullptr;

std::string field_list(const KindInfo& info) {
  std::string list = "(";
  for (std::size_t i = 0; i < info.param_count; ++i) {
    if (i > 0) list += ", ";
    list += info.param_names[i];
  }
  return list + ")";
}

std::string short_type_name(const PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot == nullptr ? type->tp_name : dot + 1;
}

ElementObject* as_element_object(PyObject* object) {
  return reinterpret_cast<ElementObject*>(object);
}

PyObject* read_field(PyObject* self, void* closure) {
  const auto index = reinterpret_cast<std::uintptr_t>(closure);
  return PyFloat_FromDouble(as_element_object(self)->element.values[index]);
}

std::string element_repr_text(const movarin::Element& element) {
  const KindInfo& info = kind_info(element.kind);
  std::string text = "Element." + std::string(info.name) + "(";
  for (std::size_t i = 0; i < info.param_count; ++i) {
    if (i > 0) text += ", ";
    text += std::string(info.param_names[i]) + "=" + format_debug_number(element.values[i]);
  }
  return text + ")";
}

PyObject* element_repr(PyObject* self) {
  return guarded(
      [&] { return to_python_str(element_repr_text(as_element_object(self)->element)).release(); });
}

const KindClass* kind_class_of(const PyTypeObject* type) {
  for (const KindClass& kind_class : kind_classes()) {
    if (kind_class.type == type) return &kind_class;
  }
  return nullptr;
}

PyObject* new_element_object(PyTypeObject* type, const movarin::Element& element) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object != nullptr) as_element_object(object)->element = element;
  return object;
}

PyObject* construct_element(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const KindClass* kind_class = kind_class_of(type);
  if (kind_class == nullptr) return refuse_construction(type, args, kwargs);
  const std::size_t kind_index = static_cast<std::size_t>(kind_class - kind_classes().data());
  std::array<PyObject*, kMaxParams> arguments{};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, kind_class->parse_format.c_str(),
                                   const_cast<char**>(kind_class->keywords.data()), &arguments[0],
                                   &arguments[1], &arguments[2], &arguments[3])) {
    return nullptr;
  }
  movarin::Element element{kind_at(kind_index), {}};
  for (std::size_t i = 0; i < kind_class->field_names.size(); ++i) {
    const std::optional<double> value = read_double(arguments[i]);
    if (!value) {
      name_argument_in_type_error(kind_class->field_names[i].c_str());
      return nullptr;
    }
    element.values[i] = *value;
  }
  return new_element_object(type, element);
}

PyObject* construct_element_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return construct_element(type, args, kwargs); });
}

void describe_kind(KindClass& kind_class, ElementKind kind) {
  const KindInfo& info = kind_info(kind);
  kind_class.class_name = "Element_" + std::string(info.name);
  kind_class.qualified_name = "movarin." + kind_class.class_name;
  kind_class.doc = kind_class.class_name + field_list(info) + "\n--\n\n";
  kind_class.parse_format = std::string(info.param_count, 'O') + ":" + kind_class.class_name;
  for (std::size_t i = 0; i < info.param_count; ++i) {
    kind_class.field_names.emplace_back(info.param_names[i]);
  }
  for (std::string& name : kind_class.field_names) {
    kind_class.keywords.push_back(name.data());
    kind_class.getters.push_back(PyGetSetDef{
        name.c_str(), read_field, nullptr, "",
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(kind_class.getters.size()))});
  }
  kind_class.keywords.push_back(nullptr);
  kind_class.getters.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
}

Ref match_args(const KindClass& kind_class) {
  Ref names(PyTuple_New(static_cast<Py_ssize_t>(kind_class.field_names.size())));
  if (!names) return names;
  for (std::size_t i = 0; i < kind_class.field_names.size(); ++i) {
    Ref name = to_python_str(kind_class.field_names[i]);
    if (!name) return Ref();
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  return names;
}

Ref create_kind_class(KindClass& kind_class, PyObject* base) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kind_class.doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(construct_element_guarded)},
      {Py_tp_getset, kind_class.getters.data()},
      {0, nullptr},
  };
  PyType_Spec spec = {kind_class.qualified_name.c_str(), sizeof(ElementObject), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  Ref bases(PyTuple_Pack(1, base));
  if (!bases) return bases;
  Ref type(PyType_FromSpecWithBases(&spec, bases.get()));
  if (!type) return type;
  Ref names = match_args(kind_class);
  if (!names || PyObject_SetAttrString(type.get(), "__match_args__", names.get()) < 0) {
    return Ref();
  }
  return type;
}

Ref create_element_base() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kElementDoc)},
      {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
      {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
      {0, nullptr},
  };
  PyType_Spec spec = {"movarin.Element", sizeof(ElementObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  return Ref(PyType_FromSpec(&spec));
}

// Class attributes are set while a type is still mutable; afterwards it is frozen so that
// neither the classes nor an instance's __class__ can be changed from Python.
bool freeze(PyObject* type_object) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
#if PY_VERSION_HEX >= 0x030E0000
  return PyType_Freeze(type) == 0;
#else
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  return true;
#endif
}

bool create_element_types() {
  Ref base = create_element_base();
  if (!base) return false;
  std::array<Ref, kKindCount> kinds;
  for (std::size_t i = 0; i < kKindCount; ++i) {
    KindClass& kind_class = kind_classes()[i];
    if (kind_class.field_names.empty()) describe_kind(kind_class, kind_at(i));
    kinds[i] = create_kind_class(kind_class, base.get());
    if (!kinds[i]) return false;
    const std::string attribute(kind_info(kind_at(i)).name);
    if (PyObject_SetAttrString(base.get(), attribute.c_str(), kinds[i].get()) < 0) return false;
  }
  if (!freeze(base.get())) return false;
  for (std::size_t i = 0; i < kKindCount; ++i) {
    if (!freeze(kinds[i].get())) return false;
    kind_classes()[i].type = reinterpret_cast<PyTypeObject*>(kinds[i].release());
  }
  g_element_type = reinterpret_cast<PyTypeObject*>(base.release());
  return true;
}

}  // namespace

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded(
      [&] { return raise_type_error("No constructor defined for " + short_type_name(type)); });
}

PyTypeObject* element_type() {
  if (g_element_type == nullptr && !create_element_types()) return nullptr;
  return g_element_type;
}

const movarin::Element* held_element(PyObject* object) {
  if (kind_class_of(Py_TYPE(object)) == nullptr) return nullptr;
  return &as_element_object(object)->element;
}

}  // namespace movarin::python
