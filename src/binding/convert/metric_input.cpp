#include "binding/convert/metric_input.hpp"

#include <string>

#include "binding/convert/args.hpp"
#include "binding/runtime/exceptions.hpp"

namespace plovik::py {

Metric read_metric(PyObject* name, PyObject* weights, std::size_t d) {
  Metric metric;
  if (name != nullptr && name != Py_None) {
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (text == nullptr) {
      if (PyErr_Occurred()) throw PythonError{};
      raise(PyExc_TypeError, "argument 'metric': expected a str");
    }
    const std::string kind(text);
    if (kind == "euclidean")
      metric.kind = MetricKind::l2;
    else if (kind != "l1")
      raise(PyExc_ValueError, "argument 'metric': expected \"l1\" or \"euclidean\"");
  }
  if (weights != nullptr && weights != Py_None) {
    PyArrayObject* w = to_array(weights, "weights", 1, NPY_FLOAT64);
    const Array<double> values = read_array<double>(w);
    metric.weights.resize(values.size());
    for (std::size_t c = 0; c < values.size(); ++c)
      metric.weights[c] = static_cast<float>(values[c]);
  }
  validate_metric(metric, d);
  return metric;
}

}  // namespace plovik::py
