// Host services of the tracer module. While the debugged program is stopped, the debugger waits
// with WaitForInput for a key on the program's stdin and for commands on its sockets together;
// the other functions give its Python side what plain Python 2 lacks or does slowly.
#include "hostutils.h"

#include <errno.h>
#include <frameobject.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "pyref.h"

namespace {

// Result of one wait for input.
enum tWaitOnStdinResult {
  kWaitWaiting = 0,     // nothing yet
  kWaitFailed = 1,      // waiting is impossible
  kWaitStdinInput = 2,  // the stream can be read without blocking
  kWaitDbgInput = 3,    // one of the sockets is readable
};

// glibc's stream flag (from its private libio.h) for a stream that is reading from its ungetc
// backup area; the unread rest of the main buffer then lies between _IO_save_base and
// _IO_save_end.
constexpr int kGlibcInBackup = 0x0100;

// Frees a PyMem block; the deleter of the unique_ptr holders below.
struct PyMemFree {
  void operator()(void *block) const { PyMem_Free(block); }
};
typedef std::unique_ptr<struct pollfd[], PyMemFree> tPollSet;
typedef std::unique_ptr<char[], PyMemFree> tCharBlock;

}  // namespace

// GetFileBufferCount --
//   Number of characters that can be read from `stream` without reading its descriptor: the rest
//   of the read buffer, plus the characters pushed back with ungetc(). 0 for a stream that is
//   writing, and for one that another thread holds locked (it is reading the stream; waiting on
//   the descriptor is then all we can do).
static int GetFileBufferCount(FILE *stream) {
  if (ftrylockfile(stream) != 0) return 0;
  ptrdiff_t count = 0;
  if (stream->_IO_write_ptr <= stream->_IO_write_base) {
    count = stream->_IO_read_end - stream->_IO_read_ptr;
    if (stream->_flags & kGlibcInBackup) count += stream->_IO_save_end - stream->_IO_save_base;
  }
  funlockfile(stream);
  if (count <= 0) return 0;
  return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

// CreateFDArray --
//   Builds the poll set of one wait: slot 0 is left for the stream (descriptor `stream_fd`),
//   the next slots watch the descriptors that sockets[i].fileno() returns, each distinct one
//   once and none that is the stream's own (poll() refuses a set larger than the descriptor
//   limit, and a debugger may name one socket many times). A negative descriptor is never
//   readable and is left out. The list is copied first, so a fileno() method that changes it
//   cannot send us past its end. Returns the set, with *count = the number of socket slots, or
//   null with an error set: SystemError for a non-list, the error of a failed fileno() call or
//   int conversion, OverflowError for a result outside the int range, MemoryError "Out of
//   memory".
static tPollSet CreateFDArray(PyObject *sockets, int stream_fd, Py_ssize_t *count) {
  if (!PyList_Check(sockets)) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  PyRef items(PyList_GetSlice(sockets, 0, PyList_GET_SIZE(sockets)));
  if (!items) return nullptr;
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  tPollSet fds(PyMem_New(struct pollfd, n + 1));
  if (!fds) {
    PyErr_SetString(PyExc_MemoryError, "Out of memory");
    return nullptr;
  }
  Py_ssize_t used = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef result(PyObject_CallMethod(PyList_GET_ITEM(items.get(), i),
                                     const_cast<char *>("fileno"), nullptr));
    if (!result) return nullptr;
    long fd = PyInt_AsLong(result.get());
    if (fd == -1 && PyErr_Occurred()) return nullptr;
    if (fd < INT_MIN || fd > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "fileno() result out of range");
      return nullptr;
    }
    if (fd < 0 || fd == stream_fd) continue;
    ++used;
    fds[used].fd = static_cast<int>(fd);
    fds[used].events = POLLIN;
    fds[used].revents = 0;
  }
  struct pollfd *first = fds.get() + 1, *last = first + used;
  std::sort(first, last, [](const pollfd &a, const pollfd &b) { return a.fd < b.fd; });
  last = std::unique(first, last, [](const pollfd &a, const pollfd &b) { return a.fd == b.fd; });
  *count = last - first;
  return fds;
}

// WaitOnStdin --
//   Waits, holding the interpreter lock, until `stream_fd` or one of the `count` socket
//   descriptors in slots 1.. of `fds` is readable, all watched by one poll(). End of file, a hang
//   up and a pending error count as readable: a read returns at once. Input on the stream wins
//   over socket input. A descriptor that is not open, or a failing poll(), gives kWaitFailed.
//   Signals do not end the wait: their Python handlers run once the method has returned.
static tWaitOnStdinResult WaitOnStdin(int stream_fd, struct pollfd *fds, Py_ssize_t count) {
  fds[0].fd = stream_fd;
  fds[0].events = POLLIN;
  fds[0].revents = 0;
  const nfds_t nfds = static_cast<nfds_t>(count) + 1;
  while (poll(fds, nfds, -1) < 0) {
    if (errno != EINTR) return kWaitFailed;
  }
  const short readable = POLLIN | POLLHUP | POLLERR;
  if (fds[0].revents & POLLNVAL) return kWaitFailed;
  if (fds[0].revents & readable) return kWaitStdinInput;
  tWaitOnStdinResult result = kWaitWaiting;
  for (nfds_t i = 1; i < nfds; ++i) {
    if (fds[i].revents & POLLNVAL) return kWaitFailed;
    if (fds[i].revents & readable) result = kWaitDbgInput;
  }
  return result == kWaitWaiting ? kWaitFailed : result;
}

const char WaitForInput_doc[] =
    "Wait for input on a file or a list of sockets: returns the number of characters\n"
    "buffered in the file, 1 for input on the file, 0 for input on a socket and -1\n"
    "when waiting is impossible";

// _tracer_WaitForInput --
//   WaitForInput(file, sockets): the count of characters already buffered in the file's stream,
//   at once; otherwise waits for input and returns 1 for the stream (end of file included), 0
//   for one of the sockets, -1 when waiting is impossible (not an open file object, a closed
//   descriptor, a poll() failure), leaving no error set. Raises only for bad arguments.
PyObject *_tracer_WaitForInput(PyObject *, PyObject *args) {
  PyObject *file, *sockets;
  if (!PyArg_ParseTuple(args, "OO!", &file, &PyList_Type, &sockets)) return nullptr;
  FILE *stream = PyFile_AsFile(file);
  if (!stream) {
    PyErr_Clear();
    return PyInt_FromLong(-1);
  }
  int buffered = GetFileBufferCount(stream);
  if (buffered > 0) return PyInt_FromLong(buffered);
  // Taken now: the sockets' fileno() methods run Python code that might close the file.
  int stream_fd = fileno(stream);
  if (stream_fd < 0) return PyInt_FromLong(-1);

  Py_ssize_t count = 0;
  tPollSet fds = CreateFDArray(sockets, stream_fd, &count);
  if (!fds) return nullptr;
  switch (WaitOnStdin(stream_fd, fds.get(), count)) {
    case kWaitStdinInput:
      return PyInt_FromLong(1);
    case kWaitDbgInput:
      return PyInt_FromLong(0);
    default:
      return PyInt_FromLong(-1);
  }
}

const char CopyIntoBuffer_doc[] =
    "Copy data into a writable buffer at an offset; returns the number of bytes copied";

// get_write_buffer --
//   The writable memory of `target`, through the new buffer interface when the object offers it
//   (result 1: *view holds an export that the caller must release) or else through the old one
//   (result 0: array, mmap; nothing to release). Runs no Python code, so the memory stays where
//   it is until the caller has copied. -1 with TypeError when it is not writable (a closed mmap
//   included).
static int get_write_buffer(PyObject *target, Py_buffer *view) {
  if (PyObject_CheckBuffer(target)) {
    if (PyObject_GetBuffer(target, view, PyBUF_WRITABLE) == 0) return 1;
    PyErr_Format(PyExc_TypeError,
                 "CopyIntoBuffer() argument 1 must be read-write buffer, not %.50s",
                 Py_TYPE(target)->tp_name);
    return -1;
  }
  void *buf;
  Py_ssize_t len;
  if (PyObject_AsWriteBuffer(target, &buf, &len) < 0) return -1;
  view->buf = buf;
  view->len = len;
  return 0;
}

// _tracer_CopyIntoBuffer --
//   CopyIntoBuffer(buffer, offset, data): copies as much of `data` as fits into the writable
//   `buffer` from `offset` on and returns the number of bytes copied; an offset outside 0 ..
//   len(buffer) copies nothing. Any writable buffer is accepted, bytearray included. The offset
//   and the data are converted first and the buffer's memory is taken last: the offset's
//   __int__ may resize or close the buffer.
PyObject *_tracer_CopyIntoBuffer(PyObject *, PyObject *args) {
  PyObject *target;
  int offset, data_len;
  const char *data;
  if (!PyArg_ParseTuple(args, "Ois#:CopyIntoBuffer", &target, &offset, &data, &data_len)) {
    return nullptr;
  }
  Py_buffer buffer;
  const int exported = get_write_buffer(target, &buffer);
  if (exported < 0) return nullptr;
  Py_ssize_t copied = 0;
  if (offset >= 0 && offset <= buffer.len) {
    copied = std::min<Py_ssize_t>(data_len, buffer.len - offset);
    // memmove: `data` may be a view of the buffer itself.
    memmove(static_cast<char *>(buffer.buf) + offset, data, copied);
  }
  if (exported) PyBuffer_Release(&buffer);
  return PyInt_FromSsize_t(copied);
}

// decode_host_string --
//   A string of the system (user name, path) as unicode, never a decoding error: decoded with
//   the file system encoding as os.getcwdu() does (UTF-8 when the interpreter knows none); bytes
//   not in that encoding are tried as UTF-8 (the usual encoding of names on disk, also when the
//   locale is "C"), and failing that decoded with the file system encoding, each undecodable
//   byte becoming U+FFFD. Null only with MemoryError or a missing codec.
static PyObject *decode_host_string(const char *text) {
  const char *encoding = Py_FileSystemDefaultEncoding ? Py_FileSystemDefaultEncoding : "utf-8";
  const Py_ssize_t len = static_cast<Py_ssize_t>(strlen(text));
  PyObject *decoded = PyUnicode_Decode(text, len, encoding, "strict");
  if (decoded || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return decoded;
  PyErr_Clear();
  decoded = PyUnicode_DecodeUTF8(text, len, "strict");
  if (decoded || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return decoded;
  PyErr_Clear();
  return PyUnicode_Decode(text, len, encoding, "replace");
}

const char GetUserName_doc[] = "Returns the login name of the effective user";

// _tracer_GetUserName --
//   GetUserName(): the login name of the effective user, as unicode. Arguments are ignored.
//   Raises OSError "Unable to get user name" when the user has no name in the password
//   database, or the error of a failed allocation or decoding.
PyObject *_tracer_GetUserName(PyObject *, PyObject *) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 1024;
  const long kMaxSize = 1L << 20;
  for (;;) {
    tCharBlock buf(static_cast<char *>(PyMem_Malloc(static_cast<size_t>(size))));
    if (!buf) {
      PyErr_SetString(PyExc_MemoryError, "Out of memory");
      return nullptr;
    }
    struct passwd entry, *found = nullptr;
    int rc = getpwuid_r(geteuid(), &entry, buf.get(), static_cast<size_t>(size), &found);
    if (rc == ERANGE && size < kMaxSize) {
      size *= 2;
      continue;
    }
    if (rc == 0 && found && found->pw_name && found->pw_name[0]) {
      return decode_host_string(found->pw_name);
    }
    break;
  }
  PyErr_SetString(PyExc_OSError, "Unable to get user name");
  return nullptr;
}

const char GetUserAppDataPath_doc[] =
    "Returns the user's settings directory ($XDG_CONFIG_HOME, else $HOME/.config) or None";

// _tracer_GetUserAppDataPath --
//   GetUserAppDataPath(): the user's settings folder as unicode: $XDG_CONFIG_HOME when it holds an
//   absolute path (the XDG rule: empty or relative values are ignored), else $HOME/.config; None
//   when HOME is unset or empty too.
PyObject *_tracer_GetUserAppDataPath(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, ":GetUserAppDataPath")) return nullptr;
  const char *config = getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return decode_host_string(config);
  const char *home = getenv("HOME");
  if (!home || !home[0]) Py_RETURN_NONE;
  const bool has_slash = home[strlen(home) - 1] == '/';
  PyRef path(PyString_FromFormat("%s%s.config", home, has_slash ? "" : "/"));
  if (!path) return nullptr;
  return decode_host_string(PyString_AS_STRING(path.get()));
}

const char locals_to_fast_doc[] =
    "Copy the frame's f_locals dictionary back into its fast locals";

// _tracer_locals_to_fast --
//   locals_to_fast(frame): writes the frame's locals dictionary back into its fast locals, so a
//   value the debugger assigned in f_locals is what the running code sees. Names missing from
//   the dictionary keep their values.
PyObject *_tracer_locals_to_fast(PyObject *, PyObject *args) {
  PyFrameObject *frame;
  if (!PyArg_ParseTuple(args, "O!:locals_to_fast", &PyFrame_Type, &frame)) return nullptr;
  PyFrame_LocalsToFast(frame, 0);
  Py_RETURN_NONE;
}

const char PyFrame_LocalsToFast_doc[] =
    "Copy the frame's f_locals dictionary back into its fast locals; with clear set,\n"
    "locals missing from the dictionary are deleted";

// _tracer_PyFrame_LocalsToFast --
//   PyFrame_LocalsToFast(frame, clear): as locals_to_fast; with `clear` set, names missing from
//   the dictionary are deleted from the fast locals.
PyObject *_tracer_PyFrame_LocalsToFast(PyObject *, PyObject *args) {
  PyFrameObject *frame;
  int clear;
  if (!PyArg_ParseTuple(args, "O!i:PyFrame_LocalsToFast", &PyFrame_Type, &frame, &clear)) {
    return nullptr;
  }
  PyFrame_LocalsToFast(frame, clear);
  Py_RETURN_NONE;
}
