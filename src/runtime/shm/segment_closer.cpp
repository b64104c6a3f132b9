#include "runtime/shm/segment_closer.h"

#include "runtime/process/native_thread.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vr::shm {

namespace {

// Files with less data than this are closed by the caller: freeing their
// pages costs less than handing them over.
constexpr size_t kAtOnceBelow = 1 << 20;
// Files waiting for the thread; when that many wait, the caller closes the
// next one itself.
constexpr size_t kQueueLength = 16;

struct Handed {
  int fd;
  char* mapped;
  size_t length;
  // The file's identity: a child forked while the thread was closing it
  // cannot tell whether the descriptor number still stands for it.
  dev_t device;
  ino_t inode;
};

// Plain data with constant initialisation: nothing to destroy at exit,
// while the thread may still be using it.
struct Closer {
  pthread_mutex_t lock;
  pthread_cond_t idle;  // broadcast when the thread has closed everything
  Handed queue[kQueueLength];
  size_t head;
  size_t count;
  Handed current;  // taken off the queue by the thread, being closed
  bool closing;    // `current` is set
  bool running;    // the thread exists (and will take what is queued)
};
Closer closer = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {}, 0, 0, {}, false, false};

void release_now(const Handed& handed) {
  if (handed.mapped) munmap(handed.mapped, handed.length);
  close(handed.fd);
}

void* close_queued(void*) {
  pthread_mutex_lock(&closer.lock);
  while (closer.count > 0) {
    Handed next = closer.queue[closer.head];
    closer.head = (closer.head + 1) % kQueueLength;
    --closer.count;
    closer.current = next;
    closer.closing = true;
    pthread_mutex_unlock(&closer.lock);
    release_now(next);
    pthread_mutex_lock(&closer.lock);
    closer.closing = false;
  }
  closer.running = false;
  pthread_cond_broadcast(&closer.idle);
  pthread_mutex_unlock(&closer.lock);
  return nullptr;
}

// Starts the thread, with the lock held.
bool start_thread() {
  closer.running = start_native_thread(close_queued, nullptr) == 0;
  return closer.running;
}

// A fork copies the queue as it stands, never half-changed.
void before_fork() { pthread_mutex_lock(&closer.lock); }
void after_fork_in_parent() { pthread_mutex_unlock(&closer.lock); }

bool same_file(const Handed& handed) {
  struct stat now;
  return fstat(handed.fd, &now) == 0 && now.st_dev == handed.device &&
         now.st_ino == handed.inode;
}

// The child inherited the descriptors waiting to be closed (not the
// mappings: those are not inherited) but not the thread: it closes them
// itself, and starts with a fresh lock and an empty queue.
void after_fork_in_child() {
  pthread_mutex_init(&closer.lock, nullptr);
  pthread_cond_init(&closer.idle, nullptr);
  for (size_t i = 0; i < closer.count; ++i)
    close(closer.queue[(closer.head + i) % kQueueLength].fd);
  // The thread may have closed it just before the fork, and the number
  // been given to another file since.
  if (closer.closing && same_file(closer.current)) close(closer.current.fd);
  closer.head = closer.count = 0;
  closer.closing = closer.running = false;
}

bool fork_handlers_installed() {
  static const bool installed =
      pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  return installed;
}

}  // namespace

void close_later(int fd, char* mapped, size_t length, size_t capacity) {
  Handed handed = {fd, mapped, length, 0, 0};
  struct stat identity;
  if (capacity < kAtOnceBelow || !fork_handlers_installed() || fstat(fd, &identity) < 0) {
    release_now(handed);
    return;
  }
  handed.device = identity.st_dev;
  handed.inode = identity.st_ino;
  pthread_mutex_lock(&closer.lock);
  bool queued = closer.count < kQueueLength && (closer.running || start_thread());
  if (queued) {
    closer.queue[(closer.head + closer.count) % kQueueLength] = handed;
    ++closer.count;
  }
  pthread_mutex_unlock(&closer.lock);
  if (!queued) release_now(handed);
}

void wait_until_closed() {
  pthread_mutex_lock(&closer.lock);
  while (closer.running) pthread_cond_wait(&closer.idle, &closer.lock);
  pthread_mutex_unlock(&closer.lock);
}

}  // namespace vr::shm
