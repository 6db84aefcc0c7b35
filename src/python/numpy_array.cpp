#include "python/numpy_array.hpp"

#include <memory>
#include <type_traits>

#include "python/handle.hpp"
#include "python/numpy_api.hpp"

// The API table and the running NumPy's feature version; the header names both after
// PY_ARRAY_UNIQUE_SYMBOL and leaves their definition to this one unit.
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace movarin::python {
namespace {

static_assert(std::is_standard_layout_v<Complex> && sizeof(Complex) == 2 * sizeof(double),
              "Complex must have the memory layout of complex128");

// numpy._core.multiarray from NumPy 2 on, numpy.core.multiarray before.
Ref import_multiarray() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return Ref();
  Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return Ref();
  Ref lib(PyImport_ImportModule("numpy.lib"));
  if (!lib) return Ref();
  Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return Ref();
  Ref major_object(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_object) return Ref();
  const long major = PyLong_AsLong(major_object.get());
  if (major == -1 && PyErr_Occurred()) return Ref();
  return Ref(
      PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
}

bool fail_import(const char* message) {
  PyArray_API = nullptr;
  PyErr_SetString(PyExc_ImportError, message);
  return false;
}

// The checks NumPy's own import routine makes before the table may be used.
bool check_running_numpy() {
  if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
    return fail_import("the running NumPy has a newer ABI than movarin was built against");
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION) {
    return fail_import("the running NumPy is older than the C API version movarin needs");
  }
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
  constexpr int kBuiltEndianness = NPY_CPU_BIG;
#else
  constexpr int kBuiltEndianness = NPY_CPU_LITTLE;
#endif
  if (PyArray_GetEndianness() != kBuiltEndianness) {
    return fail_import("the running NumPy reports a byte order movarin was not built for");
  }
  return true;
}

}  // namespace

bool import_numpy_api() {
  if (PyArray_API != nullptr) return true;
  Ref multiarray = import_multiarray();
  if (!multiarray) return false;
  Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    return fail_import("numpy's _ARRAY_API is not a capsule");
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) return false;
  // The capsule is kept alive by the multiarray module for the life of the process.
  PyArray_API = static_cast<void**>(table);
  return check_running_numpy();
}

namespace {

constexpr const char* kBufferCapsuleName = "movarin.complex_buffer";

void delete_buffer(PyObject* capsule) {
  delete static_cast<std::vector<Complex>*>(PyCapsule_GetPointer(capsule, kBufferCapsuleName));
}

}  // namespace

PyObject* complex_array(std::vector<Complex> values) {
  if (!import_numpy_api()) return nullptr;
  npy_intp length = static_cast<npy_intp>(values.size());
  if (values.empty()) return PyArray_ZEROS(1, &length, NPY_CDOUBLE, 0);

  auto owned = std::make_unique<std::vector<Complex>>(std::move(values));
  void* data = owned->data();
  Ref keeper(PyCapsule_New(owned.get(), kBufferCapsuleName, delete_buffer));
  if (!keeper) return nullptr;
  owned.release();

  PyArray_Descr* descr = PyArray_DescrFromType(NPY_CDOUBLE);
  if (descr == nullptr) return nullptr;
  Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, nullptr, data, NPY_ARRAY_CARRAY,
                                 nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), keeper.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

}  // namespace movarin::python
