// vorlen._sharedmem: large numpy arrays, bytearrays and PickleBuffers of a
// message travel through shared memory instead of the queue's pipe.
//
// The sender pickles the message with a pickler whose reducer_override
// replaces each large array by a call open_array(reference, dtype, shape,
// fortran, subclass): the array's bytes go into a segment (see
// runtime/shm/shared_segments.h), and the message on the queue stays one
// small ordinary pickle, which starts with a call claim(references) that
// maps all of its segments first (see runtime/shm/message_refs.h). Whoever
// unpickles it (our readers, the queue's own get()) calls claim, then
// open_array, which returns an array over that memory: writable, not
// copied, and released for the sender when the array is freed. A message of
// plain data and such arrays is written the same way without the pickler
// (see plain_writer.h).
//
// Large bytearrays and PickleBuffers go the same way, but the pickler never
// asks about them: they are found by a walk through the message's containers
// and pickled through a prelude (see buffer_walk.h, prelude.h). The reader
// gets a bytearray copied once out of the segment (a bytearray cannot own
// foreign memory), or a PickleBuffer over the mapping itself, read-only if
// the sender's was. A PickleBuffer that stays in the pipe (small, or shared
// memory off) arrives over an in-band copy: protocol 4 cannot pickle it.
//
// Everything else pickles exactly as the queue pickles it (ForkingPickler,
// the queue's protocol). Not placed in shared memory: arrays smaller than
// the threshold, of object dtype, subclasses with their own pickling, and
// anything when the reader could not open our segments or none can be had.
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "runtime/python/gil.h"
#include "buffer_walk.h"
#include "prelude.h"
#include "plain_writer.h"
#include "reduced.h"
#include "runtime/python/runtime_state.h"
#include "runtime/shm/shared_api.h"
#include "runtime/shm/keeper.h"
#include "runtime/shm/mapping_cache.h"
#include "runtime/shm/message_refs.h"
#include "runtime/shm/process_identity.h"
#include "runtime/shm/segment_fetch.h"
#include "runtime/shm/copy_helper.h"
#include "runtime/shm/shared_mapping.h"
#include "runtime/shm/shared_segments.h"

namespace {

using vr::Ref;
namespace shm = vr::shm;

// The attributes of arrays read here, through ndarray's own descriptors.
enum Attribute { kNbytes, kDtype, kFlags, kShape, kInterface, kAttributes };
constexpr const char* kAttributeNames[kAttributes] = {"nbytes", "dtype", "flags", "shape",
                                                      "__array_interface__"};

struct Loaded {
  PyObject* forking_pickler = nullptr;  // ForkingPickler: the queue's pickling
  PyObject* forking_dumps = nullptr;
  PyObject* shared_pickler = nullptr;   // the same, through the subclass below
  PyObject* shared_dumps = nullptr;
  PyObject* open_array = nullptr;       // this module's, pickled by reference
  PyObject* open_bytearray = nullptr;
  PyObject* open_buffer = nullptr;
  PyObject* ndarray = nullptr;        // numpy.ndarray, once numpy is imported
  PyObject* ascontiguousarray = nullptr;
  PyObject* dtype = nullptr;          // numpy.dtype
  PyObject* descriptors[kAttributes] = {};  // ndarray's, by Attribute
  PyObject* dtypes_by_code = nullptr; // {code: dtype} of the codes met as a reader
  PyObject* ndarray_new = nullptr;    // numpy.ndarray.__new__
  PyObject* readers = nullptr;        // vorlen._liveness.readers
  PyObject* loads = nullptr;          // pickle.loads
};
Loaded loaded;

// The message being pickled.
struct Dump {
  bool active = false;
  long long threshold = 0;
  PyObject* reader = nullptr;  // borrowed: a pid, or the queue
  long long reader_id = -1;    // -1 until needed; 0 when segments cannot be used
  uint64_t batch = 0;          // names the segments made for it
  std::vector<shm::SegmentRef> refs;  // of the segments made, in order
};
Dump dump;

// A child forked while another thread of its parent was pickling (with
// the interpreter lock released for a copy) has no such thread.
void forget_dump_in_child() {
  dump.active = false;
  dump.reader = nullptr;
  dump.refs.clear();
}

PyObject* import_attribute(const char* module, const char* attribute) {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  return m ? PyObject_GetAttrString(m.get(), attribute) : nullptr;
}

void forget_numpy() {
  Py_CLEAR(loaded.ndarray);
  Py_CLEAR(loaded.ascontiguousarray);
  Py_CLEAR(loaded.dtype);
  for (PyObject*& descriptor : loaded.descriptors) Py_CLEAR(descriptor);
}

// What is used of numpy, taken once: false (nothing kept) if any is missing.
bool load_numpy(PyObject* numpy) {
  loaded.ndarray = PyObject_GetAttrString(numpy, "ndarray");
  loaded.ascontiguousarray = PyObject_GetAttrString(numpy, "ascontiguousarray");
  loaded.dtype = PyObject_GetAttrString(numpy, "dtype");
  bool complete = loaded.ndarray && loaded.ascontiguousarray && loaded.dtype;
  for (int i = 0; complete && i < kAttributes; ++i) {
    loaded.descriptors[i] = PyObject_GetAttrString(loaded.ndarray, kAttributeNames[i]);
    complete = loaded.descriptors[i] && Py_TYPE(loaded.descriptors[i])->tp_descr_get;
  }
  if (!complete) forget_numpy();
  return complete;
}

// numpy.ndarray if numpy has been imported (a message can hold no array
// otherwise); borrowed, nullptr without an exception when not.
PyObject* ndarray_type() {
  if (loaded.ndarray) return loaded.ndarray;
  static PyObject* name = PyUnicode_InternFromString("numpy");
  Ref numpy = Ref::steal(name ? PyImport_GetModule(name) : nullptr);
  if (!numpy || !load_numpy(numpy.get())) PyErr_Clear();
  return loaded.ndarray;
}

// A subclass that pickles as ndarray does, so that it can be rebuilt as
// ndarray.__new__(subclass, ...) over the shared memory.
int pickles_as_ndarray(PyTypeObject* type) {
  static const char* const methods[] = {"__reduce_ex__", "__reduce__", "__setstate__"};
  for (const char* name : methods) {
    Ref own = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    Ref base = Ref::steal(PyObject_GetAttrString(loaded.ndarray, name));
    if (!own || !base) return -1;
    if (own.get() != base.get()) return 0;
  }
  return 1;
}

// Whether an ordinary error of reading a process object's attribute says
// the process has ended (a closed process object raises ValueError): then
// it is cleared.
bool ended_process_error() {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
  PyErr_Clear();
  return true;
}

// The worker process last found reading a queue (a weak reference: it is
// not kept alive for this), and the reader registered for it. Asking the
// process object for its pid and exit code again costs more than the rest
// of sending an array; its registered pidfd says as well whether it ended.
struct LastQueueReader {
  PyObject* process = nullptr;  // owned weak reference
  shm::ReaderId id = 0;
};
LastQueueReader last_queue_reader;

bool is_last_queue_reader(PyObject* process) {
  return last_queue_reader.process &&
         vr::refers_to(last_queue_reader.process, process) &&
         shm::reader_usable(last_queue_reader.id);
}

void remember_queue_reader(PyObject* process, long long id) {
  if (id <= 0) return;
  PyObject* reference = PyWeakref_NewRef(process, nullptr);
  if (!reference) {
    PyErr_Clear();  // only not remembered
    return;
  }
  Py_XSETREF(last_queue_reader.process, reference);
  last_queue_reader.id = static_cast<shm::ReaderId>(id);
}

long long queue_reader_of(PyObject* process);

// The reader of a message sent on a queue: the worker process reading it,
// registered under a pidfd taken while its process object said it had not
// ended (its pid cannot have been given to another process then). 0 when
// there is none, or it has ended.
long long queue_reader() {
  if (!loaded.readers && !(loaded.readers = import_attribute("vorlen._liveness", "readers")))
    return -1;
  Ref reference = Ref::steal(PyObject_CallMethod(loaded.readers, "get", "O", dump.reader));
  if (!reference) return -1;
  if (reference.get() == Py_None) return 0;
  Ref process = Ref::steal(PyObject_CallNoArgs(reference.get()));  // a weak reference
  if (!process) return -1;
  if (process.get() == Py_None) return 0;
  if (is_last_queue_reader(process.get())) return static_cast<long long>(last_queue_reader.id);
  long long id = queue_reader_of(process.get());
  remember_queue_reader(process.get(), id);
  return id;
}

// The reader registered for a worker process, found anew.
long long queue_reader_of(PyObject* process_object) {
  Ref process = Ref::borrow(process_object);
  Ref pid_object = Ref::steal(PyObject_GetAttrString(process.get(), "pid"));
  if (!pid_object) return ended_process_error() ? 0 : -1;
  if (pid_object.get() == Py_None) return 0;
  long pid = PyLong_AsLong(pid_object.get());
  if (pid == -1 && PyErr_Occurred()) return -1;
  shm::ReaderId known = shm::known_reader(static_cast<pid_t>(pid));
  int pidfd = known ? -1 : shm::open_pidfd(static_cast<pid_t>(pid));
  if (!known && pidfd < 0) return 0;
  // Asked after the pidfd was taken: a process not yet reaped still holds
  // its pid (this also reaps one that has ended, as is_alive() would).
  Ref exitcode = Ref::steal(PyObject_GetAttrString(process.get(), "exitcode"));
  if (!exitcode || exitcode.get() != Py_None) {
    if (pidfd >= 0) close(pidfd);
    if (!exitcode) return ended_process_error() ? 0 : -1;
    return 0;
  }
  return known ? known : shm::register_reader(static_cast<pid_t>(pid), pidfd);
}

// The reader given by its pid: this process's parent (a worker's answers
// go to it), checked to still be the parent after the pidfd was taken. A
// parent that has ended leaves the worker to another process, which may
// even hold its pid: no segment is made then.
long long parent_reader(pid_t pid) {
  if (pid != getppid()) return 0;
  // Still the parent: the pid is that process's.
  if (shm::ReaderId known = shm::known_reader(pid, false)) return known;
  int pidfd = shm::open_pidfd(pid);
  if (pidfd < 0) return 0;
  if (pid != getppid()) {
    close(pidfd);
    return 0;
  }
  return shm::register_reader(pid, pidfd);
}

// The reader of the message, once per message: its id, 0 when it is
// unknown, has ended or could not open our segments (-1: error).
long long reader_of_message() {
  if (dump.reader_id >= 0) return dump.reader_id;
  dump.reader_id = 0;
  long long id;
  if (PyLong_Check(dump.reader)) {
    long pid = PyLong_AsLong(dump.reader);
    if (pid == -1 && PyErr_Occurred()) return -1;
    id = parent_reader(static_cast<pid_t>(pid));
  } else {
    id = queue_reader();
  }
  if (id < 0) return -1;
  dump.reader_id = id > 0 && shm::reader_usable(static_cast<shm::ReaderId>(id)) ? id : 0;
  return dump.reader_id;
}

// An attribute of an array as ndarray itself defines it. A subclass's own
// property of that name (which could claim another size, order or address
// than the array's memory has) is not asked: the bytes copied, and what the
// reader is told about them, are the array's own. (The descriptors are
// taken once: looking them up by name for every array cost more than the
// rest of deciding whether it goes into shared memory.)
PyObject* array_attribute(PyObject* array, Attribute which) {
  PyObject* descriptor = loaded.descriptors[which];  // kept while numpy is
  return Py_TYPE(descriptor)->tp_descr_get(descriptor, array,
                                           reinterpret_cast<PyObject*>(Py_TYPE(array)));
}

// The dtypes that travel as their one-letter code: the built-in numeric
// types in native byte order, for which numpy.dtype(code) is that very
// dtype. Anything else (byte order, fields, units, metadata) travels as
// the dtype itself, which costs a pickled reduction on both sides.
constexpr const char kNumericCodes[] = "?bhilqpBHILQPefdgFDG";

bool is_numeric_code(PyObject* code) {
  if (!PyUnicode_Check(code) || PyUnicode_GET_LENGTH(code) != 1) return false;
  Py_UCS4 letter = PyUnicode_READ_CHAR(code, 0);
  for (const char* c = kNumericCodes; *c; ++c)
    if (letter == static_cast<Py_UCS4>(*c)) return true;
  return false;
}

// The dtypes met with a code, by identity: built-in dtypes are singletons,
// so a few entries serve every array.
struct DtypeCode {
  PyObject* dtype;  // owned, as is
  PyObject* code;
};
std::vector<DtypeCode> dtype_codes;
constexpr size_t kMostDtypeCodes = 32;

// The code of a dtype met before with one (borrowed), or nullptr.
PyObject* known_code(PyObject* dtype) {
  for (const DtypeCode& known : dtype_codes)
    if (known.dtype == dtype) return known.code;
  return nullptr;
}

// How `dtype` travels: its code (see kNumericCodes) or itself. New.
PyObject* dtype_as_sent(PyObject* dtype) {
  if (PyObject* code = known_code(dtype)) return Py_NewRef(code);
  Ref builtin = Ref::steal(PyObject_GetAttrString(dtype, "isbuiltin"));
  if (!builtin) return nullptr;
  long kind = PyLong_Check(builtin.get()) ? PyLong_AsLong(builtin.get()) : 0;
  if (kind == -1 && PyErr_Occurred()) return nullptr;
  if (kind != 1) return Py_NewRef(dtype);
  Ref code = Ref::steal(PyObject_GetAttrString(dtype, "char"));
  if (!code) return nullptr;
  if (!is_numeric_code(code.get())) return Py_NewRef(dtype);
  if (dtype_codes.size() < kMostDtypeCodes)
    dtype_codes.push_back({Py_NewRef(dtype), Py_NewRef(code.get())});
  return code.release();
}

// The dtype a reader is sent: itself, or numpy.dtype(code) for a code of
// kNumericCodes (anything else is refused: bytes of objects, or of a type
// the sender did not mean, must never be read out of a segment). Borrowed
// from the message or the cache; nullptr with an exception.
PyObject* dtype_received(PyObject* sent) {
  if (!PyUnicode_Check(sent)) return sent;
  if (!is_numeric_code(sent)) {
    PyErr_SetString(PyExc_TypeError, "a shared array's dtype code must be a numeric type code");
    return nullptr;
  }
  if (!loaded.dtypes_by_code && !(loaded.dtypes_by_code = PyDict_New())) return nullptr;
  PyObject* known = PyDict_GetItemWithError(loaded.dtypes_by_code, sent);  // borrowed
  if (known || PyErr_Occurred()) return known;
  Ref made = Ref::steal(PyObject_CallOneArg(loaded.dtype, sent));
  if (!made || PyDict_SetItem(loaded.dtypes_by_code, sent, made.get()) < 0) return nullptr;
  return made.get();  // the dict holds it
}

// The data of `array` through ndarray's own buffer, asked with `flags`: 1
// when it is all of the array's `nbytes` bytes, in `order` ('C', or 'A' for
// either), 0 when the buffer cannot be had so or is a subclass's own (its
// __buffer__ may give any memory), -1 with an exception.
int buffer_data(PyObject* array, Py_ssize_t nbytes, int flags, char order, void*& out) {
  PyBufferProcs* own = Py_TYPE(array)->tp_as_buffer;
  PyBufferProcs* base = reinterpret_cast<PyTypeObject*>(loaded.ndarray)->tp_as_buffer;
  if (!own || !base || own->bf_getbuffer != base->bf_getbuffer) return 0;
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, flags) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) return -1;
    PyErr_Clear();
    return 0;
  }
  bool whole = view.len == nbytes && PyBuffer_IsContiguous(&view, order);
  out = view.buf;  // the array, held by the caller, keeps it
  PyBuffer_Release(&view);
  return whole ? 1 : 0;
}

// The data pointer of a contiguous array: through its buffer when its dtype
// has a code (cheaper than making __array_interface__, which numpy builds
// as a dict each time), through __array_interface__ for the others, some of
// which numpy cannot export as a buffer (datetimes).
int data_pointer(PyObject* array, Py_ssize_t nbytes, bool coded, void*& out) {
  if (coded) {
    int whole = buffer_data(array, nbytes, PyBUF_ANY_CONTIGUOUS, 'A', out);
    if (whole != 0) return whole < 0 ? -1 : 0;
  }
  Ref interface = Ref::steal(array_attribute(array, kInterface));
  if (!interface) return -1;
  PyObject* data = PyDict_GetItemString(interface.get(), "data");  // borrowed
  if (!data || !PyTuple_Check(data) || PyTuple_GET_SIZE(data) < 1) {
    PyErr_SetString(PyExc_TypeError, "unexpected __array_interface__");
    return -1;
  }
  out = PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0));
  return out || !PyErr_Occurred() ? 0 : -1;
}

int flag(PyObject* flags, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(flags, name));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// The reference as it travels in the message's body:
// (pid, fd, start_time, inode, device, token, size, capacity).
PyObject* reference_tuple(const shm::SegmentRef& ref) {
  return Py_BuildValue("(iiKKKKKK)", static_cast<int>(ref.pid), ref.fd,
                       static_cast<unsigned long long>(ref.start_time),
                       static_cast<unsigned long long>(ref.inode),
                       static_cast<unsigned long long>(ref.device),
                       static_cast<unsigned long long>(ref.token),
                       static_cast<unsigned long long>(ref.size),
                       static_cast<unsigned long long>(ref.capacity));
}

// A new segment for the message's reader holding `size` bytes at `data`
// (in `owner`, when its copy may wait until the message is sent), noted
// last among the message's segments. False when none can be had.
bool segment_for_message(const void* data, size_t size, long long reader, PyObject* owner) {
  shm::SegmentRef ref;
  if (!shm::create_segment(data, size, static_cast<shm::ReaderId>(reader), dump.batch, owner,
                           ref))
    return false;
  dump.refs.push_back(ref);
  return true;
}

// A large array placed in a segment of the message: what its reader is
// told of it.
// (The segment's reference is the last of dump.refs.)
struct SharedArray {
  Ref dtype;       // as sent: its code, or itself
  Ref shape;
  bool fortran = false;
  PyObject* subclass = Py_None;  // borrowed: the array's type, None for ndarray
};

// Places an array of `nbytes` bytes in a new segment: its bytes, in C order
// unless the array is Fortran-ordered. 1 done; 0 when it does not qualify
// (object dtype, no reader that can open our segments, no segment to be
// had, or with `codes_only` a dtype without a code), and nothing was made;
// -1 with an exception. With `codes_only` (the plain writer, which runs no
// code of the message's objects), the copy may wait until the message is
// sent.
int share_array(PyObject* array, Py_ssize_t nbytes, bool codes_only, SharedArray& out) {
  Ref dtype = Ref::steal(array_attribute(array, kDtype));
  if (!dtype) return -1;
  if (PyObject* code = known_code(dtype.get())) {
    out.dtype = Ref::borrow(code);  // numeric: no objects
  } else {
    Ref has_object = Ref::steal(PyObject_GetAttrString(dtype.get(), "hasobject"));
    if (!has_object) return -1;
    int objects = PyObject_IsTrue(has_object.get());
    if (objects != 0) return objects < 0 ? -1 : 0;
    if (!(out.dtype = Ref::steal(dtype_as_sent(dtype.get())))) return -1;
  }
  bool coded = PyUnicode_Check(out.dtype.get());
  if (codes_only && !coded) return 0;
  long long reader = reader_of_message();
  if (reader <= 0) return static_cast<int>(reader);

  // The usual array, C-ordered with a code, is told by its buffer alone;
  // the others by their flags.
  void* data = nullptr;
  Ref source;  // what `data` points into, when not the array
  // (Asked for its strides: numpy refuses a C-contiguous buffer of another
  // array with ValueError.)
  int c_order = coded ? buffer_data(array, nbytes, PyBUF_STRIDES, 'C', data) : 0;
  int f_order = 0;
  if (c_order < 0) return -1;
  if (!c_order) {
    Ref flags = Ref::steal(array_attribute(array, kFlags));
    if (!flags) return -1;
    c_order = flag(flags.get(), "c_contiguous");
    f_order = c_order == 0 ? flag(flags.get(), "f_contiguous") : 0;
    if (c_order < 0 || f_order < 0) return -1;
    // A strided view travels as its C-ordered copy, as it pickles today.
    source = c_order || f_order
                 ? Ref::borrow(array)
                 : Ref::steal(PyObject_CallOneArg(loaded.ascontiguousarray, array));
    if (!source) return -1;
    if (data_pointer(source.get(), nbytes, coded, data) < 0) return -1;
  }
  if (!(out.shape = Ref::steal(array_attribute(array, kShape)))) return -1;
  PyObject* owner = codes_only ? (source ? source.get() : array) : nullptr;
  if (!segment_for_message(data, static_cast<size_t>(nbytes), reader, owner)) return 0;
  out.fortran = !c_order && f_order;
  if (Py_TYPE(array) != reinterpret_cast<PyTypeObject*>(loaded.ndarray))
    out.subclass = reinterpret_cast<PyObject*>(Py_TYPE(array));
  return 1;
}

// The size in bytes of an array that goes into shared memory: at least the
// threshold. 0 when it stays in the pipe, -1 with an exception.
Py_ssize_t shared_size(PyObject* array) {
  Ref size = Ref::steal(array_attribute(array, kNbytes));
  if (!size) return -1;
  Py_ssize_t nbytes = PyLong_AsSsize_t(size.get());
  if (nbytes == -1 && PyErr_Occurred()) return -1;
  return nbytes > 0 && nbytes >= dump.threshold ? nbytes : 0;
}

// reducer_override of the pickler: called for every object that is not of
// a few built-in types; anything but a large array is left to the pickler
// (NotImplemented), as is an array that does not qualify.
PyObject* reducer_override(PyObject*, PyObject* obj) {
  PyObject* ndarray = loaded.ndarray;
  if (!dump.active || !ndarray || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(ndarray)))
    return Py_NewRef(Py_NotImplemented);
  if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(ndarray)) {
    int plain = pickles_as_ndarray(Py_TYPE(obj));
    if (plain <= 0) return plain < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
  }
  Py_ssize_t nbytes = shared_size(obj);
  if (nbytes <= 0) return nbytes < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
  SharedArray shared;
  int done = share_array(obj, nbytes, false, shared);
  if (done <= 0) return done < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
  Ref reference = Ref::steal(reference_tuple(dump.refs.back()));
  if (!reference) return nullptr;
  return Py_BuildValue("(O(OOONO))", loaded.open_array, reference.get(),
                       shared.dtype.get(), shared.shape.get(), PyBool_FromLong(shared.fortran),
                       shared.subclass);
}

// Writes claim(reference, code, shape, fortran, None), which opens the
// array as open_array would (see runtime/shm/message_refs.h), for an exact
// ndarray of a dtype with a code (see plain_writer.h); any other is left to
// the pickler.
int write_array(PyObject* array, shm::PickleText& text) {
  Py_ssize_t nbytes = shared_size(array);
  if (nbytes <= 0) return static_cast<int>(nbytes);
  SharedArray shared;
  int done = share_array(array, nbytes, true, shared);
  if (done <= 0) return done;
  const shm::SegmentRef& ref = dump.refs.back();
  // BINGET 0: the message's claim, which opens its arrays (see
  // runtime/shm/message_refs.h).
  text.opcode('h');
  text.opcode('\0');
  text.opcode('(');  // MARK: the arguments
  text.opcode('(');  // the reference, as reference_tuple() makes it
  text.signed_integer(ref.pid);
  text.signed_integer(ref.fd);
  for (uint64_t field : {ref.start_time, ref.inode, ref.device, ref.token,
                         static_cast<uint64_t>(ref.size), static_cast<uint64_t>(ref.capacity)})
    text.unsigned_integer(field);
  text.opcode('t');
  Py_ssize_t code_size = 0;
  const char* code = PyUnicode_AsUTF8AndSize(shared.dtype.get(), &code_size);
  if (!code) return -1;
  text.utf8(code, static_cast<size_t>(code_size));
  PyObject* shape = shared.shape.get();
  if (!PyTuple_CheckExact(shape)) return 0;
  text.opcode('(');
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
    long long extent = PyLong_AsLongLong(PyTuple_GET_ITEM(shape, i));
    if (extent == -1 && PyErr_Occurred()) return -1;
    text.signed_integer(extent);
  }
  text.opcode('t');
  text.boolean(shared.fortran);
  text.none();
  text.opcode('t');
  text.opcode('R');  // REDUCE
  return 1;
}

// The bytes of a bytearray or PickleBuffer, held through an export of its
// buffer (it can be neither resized nor released meanwhile): its own memory
// when contiguous, else a C-ordered copy of it.
class SourceBytes {
 public:
  SourceBytes() = default;
  SourceBytes(const SourceBytes&) = delete;
  SourceBytes& operator=(const SourceBytes&) = delete;
  ~SourceBytes() {
    if (held_ && vr::holds_thread_state()) PyBuffer_Release(&view_);
  }

  int open(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) < 0) return -1;
    held_ = true;
    if (PyBuffer_IsContiguous(&view_, 'A')) {
      data_ = view_.buf;
      return 0;
    }
    copy_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, view_.len));
    if (!copy_ || PyBuffer_ToContiguous(PyBytes_AS_STRING(copy_.get()), &view_, view_.len,
                                        'C') < 0)
      return -1;
    data_ = PyBytes_AS_STRING(copy_.get());
    return 0;
  }
  const void* data() const { return data_; }
  Py_ssize_t size() const { return view_.len; }
  bool readonly() const { return view_.readonly; }

 private:
  Py_buffer view_ = {};
  bool held_ = false;
  const void* data_ = nullptr;
  Ref copy_;
};

// The reference of a new segment holding the bytes of `source` for the
// message's reader; empty, without an exception, when they stay in the pipe
// (below the threshold, no reader that can open it, no segment to be had).
int bytes_to_segment(const SourceBytes& source, Ref& reference) {
  if (source.size() <= 0 || source.size() < dump.threshold) return 0;
  long long reader = reader_of_message();
  if (reader <= 0) return static_cast<int>(reader);
  if (!segment_for_message(source.data(), static_cast<size_t>(source.size()), reader, nullptr))
    return 0;
  reference = Ref::steal(reference_tuple(dump.refs.back()));
  return reference ? 0 : -1;
}

// The proxy `target` is pickled through: a call of open_bytearray or
// open_buffer on a segment (only if `shared`), or for a PickleBuffer kept in
// the pipe, PickleBuffer over a copy (bytes if it is read-only, else a
// bytearray). Empty, without an exception, for a bytearray kept in the pipe:
// the pickler handles it as always.
int make_proxy(PyObject* target, bool shared, Ref& proxy) {
  SourceBytes source;
  if (source.open(target) < 0) return -1;
  Ref reference;
  if (shared && bytes_to_segment(source, reference) < 0) return -1;
  bool buffer = PyPickleBuffer_Check(target);
  if (!reference && !buffer) return 0;
  Ref args;
  PyObject* callable;
  if (reference) {
    callable = buffer ? loaded.open_buffer : loaded.open_bytearray;
    args = Ref::steal(buffer ? Py_BuildValue("(ON)", reference.get(),
                                             PyBool_FromLong(source.readonly()))
                             : PyTuple_Pack(1, reference.get()));
  } else {
    const char* data = static_cast<const char*>(source.data());
    callable = reinterpret_cast<PyObject*>(&PyPickleBuffer_Type);
    Ref copy = Ref::steal(source.readonly() ? PyBytes_FromStringAndSize(data, source.size())
                                            : PyByteArray_FromStringAndSize(data, source.size()));
    args = copy ? Ref::steal(PyTuple_Pack(1, copy.get())) : Ref();
  }
  if (!args) return -1;
  proxy = Ref::steal(shm::new_reduced(callable, args.get()));
  return proxy ? 0 : -1;
}

// `message` pickled with a prelude that makes the objects `found` (see
// prelude.h); without one when none of them needs it.
PyObject* pickle_with_buffers(PyObject* message, const std::vector<Ref>& found, bool shared,
                              bool* rewritten) {
  Ref proxies = Ref::steal(PyList_New(0));
  Ref targets = Ref::steal(PyList_New(0));
  if (!proxies || !targets) return nullptr;
  for (const Ref& target : found) {
    Ref proxy;
    if (make_proxy(target.get(), shared, proxy) < 0) return nullptr;
    if (proxy && (PyList_Append(proxies.get(), proxy.get()) < 0 ||
                  PyList_Append(targets.get(), target.get()) < 0))
      return nullptr;
  }
  if (PyList_GET_SIZE(proxies.get()) == 0)
    return PyObject_CallOneArg(shared ? loaded.shared_dumps : loaded.forking_dumps, message);
  Ref proxy_tuple = Ref::steal(PyList_AsTuple(proxies.get()));
  Ref target_tuple = Ref::steal(PyList_AsTuple(targets.get()));
  if (!proxy_tuple || !target_tuple) return nullptr;
  *rewritten = true;
  return shm::dumps_with_prelude(shared ? loaded.shared_pickler : loaded.forking_pickler,
                                 message, proxy_tuple.get(), target_tuple.get());
}

// `pickled` with the claim of the message's segments at its start.
PyObject* claiming(PyObject* pickled, const std::vector<shm::SegmentRef>& refs) {
  Py_buffer view;
  if (PyObject_GetBuffer(pickled, &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* claimed = shm::with_claim(static_cast<const char*>(view.buf),
                                      static_cast<size_t>(view.len), refs);
  PyBuffer_Release(&view);
  return claimed;
}

// `message` written by the plain writer (see plain_writer.h), its claim
// included, with its segments in `batch`. Nullptr without an exception when
// it is left to the pickler: the segments made meanwhile are closed, and
// `batch` is used afresh (it names no segment any more).
PyObject* pickle_plainly(PyObject* message, uint64_t batch) {
  std::string text;
  int written = shm::write_plain(message, loaded.ndarray, write_array, text);
  if (written > 0) return shm::with_claim(text.data(), text.size(), dump.refs, true);
  if (!dump.refs.empty()) {
    shm::complete_fills(batch, false);  // never sent: no copy to make
    shm::settle_batch(batch, false);
    dump.refs.clear();
  }
  return nullptr;
}

// The C API: see runtime/shm/shared_api.h.
PyObject* api_pickle(PyObject* message, PyObject* reader, uint64_t* batch, bool* rewritten) {
  *batch = 0;
  *rewritten = false;
  long long threshold = shm::threshold();
  // One message at a time: another thread pickling while this one copies
  // (with the interpreter lock released) pickles as the queue does, its
  // PickleBuffers kept in the pipe.
  bool shared = threshold >= 0 && !dump.active;
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) return nullptr;
  std::vector<Ref> found;
  if (shm::find_buffers(message, shared ? threshold : -1, rt->timed_request, found) < 0)
    return nullptr;
  if (!shared || !ndarray_type()) {
    if (found.empty()) return PyObject_CallOneArg(loaded.forking_dumps, message);
    if (!shared) return pickle_with_buffers(message, found, false, rewritten);
  }
  uint64_t made = shm::new_batch();
  dump.active = true;
  dump.threshold = threshold;
  dump.reader = reader;
  dump.reader_id = -1;
  dump.batch = made;
  dump.refs.clear();
  Ref pickled = Ref::steal(found.empty() ? pickle_plainly(message, made) : nullptr);
  bool claimed = static_cast<bool>(pickled);
  if (!pickled && !PyErr_Occurred())
    pickled = Ref::steal(found.empty() ? PyObject_CallOneArg(loaded.shared_dumps, message)
                                       : pickle_with_buffers(message, found, true, rewritten));
  std::vector<shm::SegmentRef> refs = std::move(dump.refs);
  forget_dump_in_child();  // the same reset, for the next message
  if (pickled && !claimed && !refs.empty()) pickled = Ref::steal(claiming(pickled.get(), refs));
  if (!pickled) {
    shm::settle_batch(made, false);
    return nullptr;
  }
  if (!refs.empty()) *batch = made;
  return pickled.release();
}

void api_sweep() {
  shm::sweep();
  shm::sweep_mappings(false, false);
}

bool api_holds_anything() {
  return shm::holds_anything() || shm::mappings_held() > 0 || shm::releases_pending();
}

// A message already pickled, for the queue's put(): it pickles as a call
// of pickle.loads on those bytes, so that the reader gets the message. It
// settles the segments of `batch` (see SharedMemoryApi::wrap).
PyObject* api_wrap(PyObject* pickled, uint64_t batch) {
  // The queue sends it later, from another thread: its data goes in now.
  shm::complete_fills(batch, true);
  Ref payload = Ref::steal(PyBytes_FromObject(pickled));
  Ref args = payload ? Ref::steal(PyTuple_Pack(1, payload.get())) : Ref();
  return args ? shm::new_reduced(loaded.loads, args.get(), batch) : nullptr;
}

const vr::SharedMemoryApi api = {
    .pickle = api_pickle,
    .settle = shm::settle_batch,
    .sweep = api_sweep,
    .holds_anything = api_holds_anything,
    .wrap = api_wrap,
    .release_unread = shm::release_unread,
    .wait_ended = shm::copy_helper_wait_ended,
};

int unsigned_item(PyObject* tuple, Py_ssize_t i, unsigned long long& out) {
  out = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(tuple, i));
  return out == static_cast<unsigned long long>(-1) && PyErr_Occurred() ? -1 : 0;
}

int parse_reference(PyObject* tuple, shm::SegmentRef& ref) {
  constexpr Py_ssize_t kFields = 8;
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != kFields) {
    PyErr_SetString(PyExc_TypeError, "a shared memory reference is a tuple of 8 ints");
    return -1;
  }
  unsigned long long values[kFields];
  for (Py_ssize_t i = 0; i < kFields; ++i)
    if (unsigned_item(tuple, i, values[i]) < 0) return -1;
  ref = {static_cast<pid_t>(values[0]), static_cast<int>(values[1]), values[2], values[3],
         values[4], values[5], values[6], values[7]};
  return 0;
}

// The reference that is the first of exactly `expected` arguments of the
// function `name`.
int reference_argument(const char* name, PyObject* const* args, Py_ssize_t nargs,
                       Py_ssize_t expected, shm::SegmentRef& ref) {
  if (nargs != expected) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return -1;
  }
  return parse_reference(args[0], ref);
}

// open_array(reference, dtype, shape, fortran, subclass)
PyObject* open_array(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  shm::SegmentRef ref;
  if (reference_argument("open_array", args, nargs, 5, ref) < 0) return nullptr;
  if (!loaded.ndarray) {  // numpy imported here the first time
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    if (!ndarray_type()) {
      PyErr_SetString(PyExc_ImportError, "numpy.ndarray could not be found");
      return nullptr;
    }
  }
  Ref dtype = Ref::borrow(dtype_received(args[1]));
  if (!dtype) return nullptr;
  Ref buffer = Ref::steal(shm::take_segment(ref));
  if (!buffer) return nullptr;
  int fortran = PyObject_IsTrue(args[3]);
  if (fortran < 0) return nullptr;
  PyObject* type = args[4] == Py_None ? loaded.ndarray : args[4];
  // ndarray.__new__(type, shape, dtype, buffer, 0, None, order): the array's
  // base is the mapping, which lives as long as the array does.
  if (!loaded.ndarray_new &&
      !(loaded.ndarray_new = PyObject_GetAttrString(loaded.ndarray, "__new__")))
    return nullptr;
  static PyObject* orders[2] = {};  // "C", "F"
  for (int i = 0; i < 2; ++i)
    if (!orders[i] && !(orders[i] = PyUnicode_InternFromString(i ? "F" : "C"))) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  PyObject* call[] = {type, args[2], dtype.get(), buffer.get(), zero.get(), Py_None,
                      orders[fortran]};
  return PyObject_Vectorcall(loaded.ndarray_new, call, 7, nullptr);
}

// open_bytearray(reference)
PyObject* open_bytearray(PyObject*, PyObject* reference) {
  shm::SegmentRef ref;
  if (parse_reference(reference, ref) < 0) return nullptr;
  return shm::copy_segment(ref);
}

// open_buffer(reference, readonly)
PyObject* open_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  shm::SegmentRef ref;
  if (reference_argument("open_buffer", args, nargs, 2, ref) < 0) return nullptr;
  int readonly = PyObject_IsTrue(args[1]);
  if (readonly < 0) return nullptr;
  Ref mapping = Ref::steal(shm::take_segment(ref, readonly));
  return mapping ? PyPickleBuffer_FromObject(mapping.get()) : nullptr;
}

// claim(packed)
PyObject* claim(PyObject*, PyObject* packed) { return shm::claim_segments(packed); }

PyObject* sweep(PyObject*, PyObject*) {
  shm::sweep(true, true);
  shm::sweep_mappings(true, true);
  Py_BEGIN_ALLOW_THREADS
  shm::wait_until_closed();
  VR_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

// _release_unread(message)
PyObject* release_unread(PyObject*, PyObject* message) {
  Py_buffer view;
  if (PyObject_GetBuffer(message, &view, PyBUF_SIMPLE) < 0) return nullptr;
  int released = shm::release_unread(static_cast<const char*>(view.buf),
                                     static_cast<size_t>(view.len));
  PyBuffer_Release(&view);
  return PyLong_FromLong(released);
}

PyObject* fetch_through_proc(PyObject*, PyObject* only) {
  int flag = PyObject_IsTrue(only);
  if (flag < 0) return nullptr;
  shm::fetch_through_proc_only(flag);
  Py_RETURN_NONE;
}

PyObject* outstanding(PyObject*, PyObject*) {
  return PyLong_FromSize_t(shm::outstanding());
}

PyMethodDef methods[] = {
    {"claim", claim, METH_O,
     "claim(packed)\n--\n\n"
     "Maps the shared memory of every array in the message being unpickled, "
     "before the rest of it is; what its objects do not take is released "
     "with the object returned."},
    {"open_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_array)),
     METH_FASTCALL,
     "open_array(reference, dtype, shape, fortran, subclass)\n--\n\n"
     "The array whose data another process placed in shared memory; `dtype` "
     "is a dtype, or the one-letter code of a built-in numeric type."},
    {"open_bytearray", open_bytearray, METH_O,
     "open_bytearray(reference)\n--\n\n"
     "A bytearray holding the bytes another process placed in shared memory "
     "(copied out of it, which frees the segment for the sender)."},
    {"open_buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_buffer)),
     METH_FASTCALL,
     "open_buffer(reference, readonly)\n--\n\n"
     "A PickleBuffer over the bytes another process placed in shared memory, "
     "writable unless `readonly`."},
    {"sweep", sweep, METH_NOARGS,
     "Closes every segment no longer needed: released by its reader (also "
     "those kept for reuse) or meant for a process that has ended, drops "
     "every mapping kept for reuse, and the descriptors of peers that have "
     "ended; returns once they are closed."},
    {"outstanding", outstanding, METH_NOARGS,
     "The number of segments this process holds open."},
    {"_release_unread", release_unread, METH_O,
     "_release_unread(message)\n--\n\n"
     "Releases the shared memory named by a pickled message that was read but "
     "will not be unpickled; the number of segments released."},
    {"_fetch_through_proc", fetch_through_proc, METH_O,
     "_fetch_through_proc(only)\n--\n\n"
     "Whether segments are opened through /proc only, never with "
     "pidfd_getfd (for tests of that way)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef reducer_def = {"reducer_override", reducer_override, METH_O, nullptr};

// class SharedPickler(ForkingPickler): reducer_override = <the function above>
int make_pickler(PyObject* module) {
  Ref base = Ref::steal(import_attribute("multiprocessing.reduction", "ForkingPickler"));
  if (!base) return -1;
  Py_XSETREF(loaded.forking_pickler, Py_NewRef(base.get()));
  Py_XSETREF(loaded.forking_dumps, PyObject_GetAttrString(base.get(), "dumps"));
  if (!loaded.forking_dumps) return -1;
  Ref reducer = Ref::steal(PyCFunction_NewEx(&reducer_def, nullptr, nullptr));
  Ref ns = Ref::steal(PyDict_New());
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!reducer || !ns || !module_name ||
      PyDict_SetItemString(ns.get(), "reducer_override", reducer.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0)
    return -1;
  Ref pickler = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 "s(O)O", "SharedPickler", base.get(), ns.get()));
  if (!pickler) return -1;
  Py_XSETREF(loaded.shared_dumps, PyObject_GetAttrString(pickler.get(), "dumps"));
  Py_XSETREF(loaded.shared_pickler, pickler.release());
  return loaded.shared_dumps ? 0 : -1;
}

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "vorlen._sharedmem",
                          "Large numpy arrays, bytearrays and PickleBuffers of messages through shared memory.", -1,
                          methods};

}  // namespace

// Run again after a failed import (an interrupt in the middle of it, say):
// what an earlier attempt set is replaced.
PyMODINIT_FUNC PyInit__sharedmem() {
  static const bool child_reset = pthread_atfork(nullptr, nullptr, forget_dump_in_child) == 0;
  if (!child_reset) {
    PyErr_SetString(PyExc_RuntimeError, "cannot install a fork handler");
    return nullptr;
  }
  Ref module = Ref::steal(PyModule_Create(&definition));
  if (!module) return nullptr;
  Py_XSETREF(loaded.open_array, PyObject_GetAttrString(module.get(), "open_array"));
  Py_XSETREF(loaded.open_bytearray, PyObject_GetAttrString(module.get(), "open_bytearray"));
  Py_XSETREF(loaded.open_buffer, PyObject_GetAttrString(module.get(), "open_buffer"));
  if (!loaded.open_array || !loaded.open_bytearray || !loaded.open_buffer ||
      make_pickler(module.get()) < 0)
    return nullptr;
  Py_XSETREF(loaded.loads, import_attribute("pickle", "loads"));
  if (!loaded.loads || !shm::reduced_type()) return nullptr;
  if (!shm::mapped_buffer_type() || !shm::claim_type()) return nullptr;
  shm::set_claim_call([](PyObject* const* args, Py_ssize_t nargs) {
    return open_array(nullptr, args, nargs);
  });
  Ref capsule = Ref::steal(PyCapsule_New(const_cast<vr::SharedMemoryApi*>(&api),
                                         vr::kSharedMemoryCapsule, nullptr));
  if (!capsule || PyModule_AddObjectRef(module.get(), "_api", capsule.get()) < 0) return nullptr;
  return module.release();
}
