#include "memory_limit.h"

#include <cstdio>

#include "runtime/process/memory_watch.h"
#include "tamsel.h"

namespace tamsel::memory_limit {

namespace {

using vr::Ref;

// `bytes` as text in binary units, as the package's messages give sizes.
void format_size(uint64_t bytes, char* out, size_t size) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  if (unit == 0) std::snprintf(out, size, "%llu bytes", static_cast<unsigned long long>(bytes));
  else std::snprintf(out, size, "%.1f %s", value, units[unit]);
}

// "<seen> ... <limit>" filled into `format`, which takes two strings.
PyObject* sizes_text(const char* format, uint64_t seen, uint64_t limit) {
  char seen_text[32], limit_text[32];
  format_size(seen, seen_text, sizeof seen_text);
  format_size(limit, limit_text, sizeof limit_text);
  return PyUnicode_FromFormat(format, seen_text, limit_text);
}

void retire(vr::ControlPage* page, uint64_t seen) {
  page->memory_seen.store(seen);
  page->memory_state.store(vr::kRetired);
}

// pc.print_content += line
int add_line(PyObject* pc, PyObject* line) {
  Ref printed = Ref::steal(PyObject_GetAttr(pc, names.print_content));
  if (!printed) return -1;
  Ref longer = Ref::steal(PyNumber_InPlaceAdd(printed.get(), line));
  if (!longer) return -1;
  return PyObject_SetAttr(pc, names.print_content, longer.get());
}

}  // namespace

int refuses(vr::ControlPage* page, bool& refused) {
  refused = false;
  if (!page) return 0;
  if (page->memory_state.load() == vr::kRetired) {
    refused = true;
    return 0;
  }
  uint64_t limit = page->memory_limit.load();
  if (limit == 0) return 0;
  if (page->memory_during.load() && vr::watch_memory(page) < 0) return -1;
  // A limit set below what the worker already holds: nothing more runs.
  uint64_t seen = vr::resident_bytes();
  if (seen > limit) {
    retire(page, seen);
    refused = true;
  }
  return 0;
}

int after_request(vr::ControlPage* page, PyObject* pc) {
  if (!page) return 0;
  uint64_t limit = page->memory_limit.load();
  if (limit == 0) return 0;
  uint64_t seen = vr::resident_bytes();
  if (seen <= limit) return 0;
  retire(page, seen);
  vr::SavedError raised;
  Ref line = Ref::steal(sizes_text(
      "vorlen: this worker's resident memory (%s) is above its limit of %s: it runs no "
      "further request until it is replaced\n",
      seen, limit));
  if (!line || add_line(pc, line.get()) < 0) {
    // The answer goes without the warning (the page still tells): an
    // ordinary error of it is dropped, and so is any error of it while the
    // request's own exception is what the answer reports.
    if (!raised && !PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
  }
  raised.restore();
  return 0;
}

PyObject* refusal_text(const vr::ControlPage* page) {
  return sizes_text(
      "the request was not run: this worker's resident memory (%s) is above its limit of "
      "%s (vorlen.limit_memory); it runs nothing more until it is replaced "
      "(vorlen.restart)\n",
      page->memory_seen.load(), page->memory_limit.load());
}

}  // namespace tamsel::memory_limit
