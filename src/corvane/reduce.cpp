// reduce: one answer from each queue of a list, in the list's order.
#include "corvane.h"
#include "runtime/process/liveness.h"

namespace corvane {

namespace {

using vr::Ref;

// element.get(); for an answer queue that a worker handle created, the wait
// also watches that worker, so a dead worker raises instead of hanging.
PyObject* take_answer(PyObject* queue) {
  Ref writer = Ref::steal(vr::registered_writer(queue));
  if (!writer && PyErr_Occurred()) return nullptr;
  if (writer) return vr::get_answer(queue, writer.get());
  return call_method(queue, names.get);
}

PyObject* reduce(PyObject* const* a) {
  PyObject* red = a[0];
  Ref answers = Ref::steal(PyList_New(0));
  if (!answers) return nullptr;
  if (PyList_CheckExact(red) || PyTuple_CheckExact(red)) {
    // By index, re-reading the size: a get() may run code that changes it.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(red); ++i) {
      Ref queue = Ref::borrow(PySequence_Fast_GET_ITEM(red, i));
      Ref answer = Ref::steal(take_answer(queue.get()));
      if (!answer || PyList_Append(answers.get(), answer.get()) < 0) return nullptr;
    }
    return answers.release();
  }
  Ref iterator = Ref::steal(PyObject_GetIter(red));
  if (!iterator) return nullptr;
  while (Ref queue = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref answer = Ref::steal(take_answer(queue.get()));
    if (!answer || PyList_Append(answers.get(), answer.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return answers.release();
}

const char* const reduce_params[] = {"red"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kReduceLine = 12;

}  // namespace

const vr::FunctionDef reduce_def = {
    .name = "reduce",
    .qualname = "reduce",
    .traceback = "vorlen.corvane.reduce",
    .body = reduce,
    .params = reduce_params,
    .argcount = 1,
    .line = kReduceLine,
};

}  // namespace corvane
