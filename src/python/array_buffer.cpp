#include "python/array_buffer.hpp"

#include <bit>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "python/handle.hpp"
#include "python/numpy_api.hpp"
#include "python/numpy_array.hpp"

namespace movarin::python {
namespace {

static_assert(std::is_trivially_copyable_v<Complex> && sizeof(Complex) == 2 * sizeof(double),
              "Complex must have the memory layout of complex128");

// An ndarray can only exist once NumPy has been imported, so NumPy's C API is loaded here only
// when the process already holds NumPy; looking never imports it.
bool numpy_api_available() {
  if (PyArray_API != nullptr) return true;
  Ref name(PyUnicode_FromString("numpy"));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  Ref numpy(PyImport_GetModule(name.get()));
  if (!numpy || !import_numpy_api()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool is_exact_numpy_array(PyObject* object) {
  return PyObject_CheckBuffer(object) && numpy_api_available() && PyArray_CheckExact(object);
}

// A buffer request that is released exactly once.
class BufferView {
 public:
  // Asks for a C-contiguous buffer with its format; a refusal is not an error.
  explicit BufferView(PyObject* object) {
    acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
    if (!acquired_) PyErr_Clear();
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (acquired_) PyBuffer_Release(&view_);
  }

  // True for a one-dimensional buffer of native-endian items of the struct-module `code`.
  bool holds(std::string_view code, Py_ssize_t item_size) const {
    return acquired_ && view_.ndim == 1 && view_.itemsize == item_size && view_.format != nullptr &&
           is_native_format(view_.format, code);
  }
  std::size_t count() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
  const void* data() const { return view_.buf; }

 private:
  static bool is_native_format(std::string_view format, std::string_view code) {
    constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == kNativeOrder)) {
      format.remove_prefix(1);
    }
    return format == code;
  }

  Py_buffer view_{};
  bool acquired_ = false;
};

constexpr Py_ssize_t kDoubleSize = sizeof(double);
constexpr Py_ssize_t kComplexSize = sizeof(Complex);

// The copies go through memcpy: an array's data need not be aligned for its items.
template <class Item>
std::vector<Item> copy_items(const BufferView& view) {
  std::vector<Item> values(view.count());
  if (!values.empty()) std::memcpy(values.data(), view.data(), values.size() * sizeof(Item));
  return values;
}

}  // namespace

std::optional<std::vector<double>> copy_float64_array(PyObject* object) {
  if (!is_exact_numpy_array(object)) return std::nullopt;
  const BufferView view(object);
  if (!view.holds("d", kDoubleSize)) return std::nullopt;
  return copy_items<double>(view);
}

std::optional<std::vector<Complex>> copy_complex_array(PyObject* object) {
  if (!is_exact_numpy_array(object)) return std::nullopt;
  const BufferView view(object);
  if (view.holds("Zd", kComplexSize)) return copy_items<Complex>(view);
  if (view.holds("d", kDoubleSize)) {
    // A real item converts to a complex number with a positive-zero imaginary part.
    const auto* bytes = static_cast<const char*>(view.data());
    std::vector<Complex> values(view.count());
    for (std::size_t i = 0; i < values.size(); ++i) {
      std::memcpy(&values[i].re, bytes + i * sizeof(double), sizeof(double));
      values[i].im = 0.0;
    }
    return values;
  }
  return std::nullopt;
}

}  // namespace movarin::python
