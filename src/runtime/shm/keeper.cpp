#include "runtime/shm/keeper.h"

#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/process/native_thread.h"
#include "runtime/shm/copy_helper.h"
#include "runtime/shm/process_identity.h"

namespace vr::shm {

namespace {

// Files with less than this are closed by the caller: freeing their pages
// costs less than handing them over.
constexpr size_t kAtOnceBelow = 1 << 20;
// Files waiting for the thread; beyond that the caller closes them itself.
constexpr size_t kQueueLength = 64;

// A file handed over, with its identity: a child forked while the thread
// was closing it cannot tell whether the descriptor number still stands for
// that file.
struct Handed {
  Closing what;
  dev_t device = 0;
  ino_t inode = 0;
};

// Plain data with constant initialisation, allocated vectors aside: nothing
// to destroy at exit that the thread may still be using.
struct Keeper {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t idle = PTHREAD_COND_INITIALIZER;  // broadcast when nothing waits to be closed
  std::vector<Handed>* queue = nullptr;    // waiting for the thread
  std::vector<Handed>* in_hand = nullptr;  // being closed by the thread, outside the lock
  bool running = false;                    // the thread exists
  bool waiting_for_pidfds = false;         // with no time-out: only a wake-up makes it look
  // An eventfd the thread also waits on: made when the thread starts and
  // closed when it ends, written only with the lock held.
  int wake_fd = -1;
};
Keeper keeper;

void release_now(const Closing& what) {
  if (what.mapped) munmap(what.mapped, what.length);
  if (what.fd >= 0) close(what.fd);
}

bool same_file(const Handed& handed) {
  struct stat now;
  return fstat(handed.what.fd, &now) == 0 && now.st_dev == handed.device &&
         now.st_ino == handed.inode;
}

Handed with_identity(const Closing& what) {
  Handed handed{what};
  struct stat identity;
  if (what.fd >= 0 && fstat(what.fd, &identity) == 0) {
    handed.device = identity.st_dev;
    handed.inode = identity.st_ino;
  }
  return handed;
}

void ensure_vectors() {
  if (!keeper.queue) keeper.queue = new std::vector<Handed>();
  if (!keeper.in_hand) keeper.in_hand = new std::vector<Handed>();
}

// What the thread waits on: the pidfds, then the wake-up descriptor. Made
// with the lock held, like everything the thread allocates or frees: a
// fork (whose handler takes the lock) then never copies an allocator that
// the thread holds in the middle of its work, which the child, alone with
// it, would wait on for ever (the sanitizers' allocators take no lock
// around fork()).
void watch(std::vector<pollfd>& watched, const std::vector<int>& pidfds, int wake_fd) {
  watched.clear();
  for (int fd : pidfds) watched.push_back({fd, POLLIN, 0});
  if (wake_fd >= 0) watched.push_back({wake_fd, POLLIN, 0});
}

// Waits (without the lock, allocating nothing) on `watched` and the
// time-out.
void wait_for_change(std::vector<pollfd>& watched, int wake_fd, double seconds) {
  int milliseconds = seconds < 0 ? -1 : static_cast<int>(seconds * 1000) + 1;
  int ready = poll(watched.data(), watched.size(), milliseconds);
  if (ready > 0 && wake_fd >= 0 && (watched.back().revents & POLLIN)) {
    uint64_t count;
    while (read(wake_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  // A pidfd that the tables closed meanwhile (POLLNVAL) only makes the
  // next look come sooner.
}

void* keep(void*) {
  pthread_mutex_lock(&keeper.lock);
  std::vector<pollfd> watched;
  for (;;) {
    Look look;
    double now = now_seconds();
    look_at_segments(now, false, look);
    look_at_mappings(now, false, look);
    for (const Closing& what : look.closing) keeper.queue->push_back(with_identity(what));
    if (keeper.queue->empty() && !look.holds) break;
    std::swap(*keeper.queue, *keeper.in_hand);
    int wake_fd = keeper.wake_fd;
    pthread_mutex_unlock(&keeper.lock);
    for (const Handed& handed : *keeper.in_hand) release_now(handed.what);
    retry_releases(look.unreleased);
    pthread_mutex_lock(&keeper.lock);
    keeper.in_hand->clear();
    if (keeper.queue->empty()) pthread_cond_broadcast(&keeper.idle);
    if (!keeper.queue->empty()) continue;
    if (!look.holds) break;
    double wait = look.next == 0 ? -1 : look.next > now ? look.next - now : 0;
    keeper.waiting_for_pidfds = wait < 0;
    watch(watched, look.pidfds, wake_fd);
    pthread_mutex_unlock(&keeper.lock);
    wait_for_change(watched, wake_fd, wait);
    pthread_mutex_lock(&keeper.lock);
    keeper.waiting_for_pidfds = false;
  }
  std::vector<pollfd>().swap(watched);  // freed with the lock held
  keeper.running = false;
  if (keeper.wake_fd >= 0) close(keeper.wake_fd);
  keeper.wake_fd = -1;
  pthread_cond_broadcast(&keeper.idle);
  pthread_mutex_unlock(&keeper.lock);
  return nullptr;
}

// With the lock held.
void wake_up(int wake_fd) {
  if (wake_fd < 0) return;
  uint64_t one = 1;
  while (write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// Starts the thread, with the lock held; false if it cannot be started.
bool start_keeper() {
  keeper.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  keeper.running = start_native_thread(keep, nullptr) == 0;
  if (!keeper.running && keeper.wake_fd >= 0) {
    close(keeper.wake_fd);
    keeper.wake_fd = -1;
  }
  return keeper.running;
}

void before_fork() {
  pthread_mutex_lock(&keeper.lock);
  segments_before_fork();
  mappings_before_fork();
}

void after_fork_in_parent() { pthread_mutex_unlock(&keeper.lock); }

// The child has the state as the lock left it, but not the thread: it
// closes what waited for the thread, and what the thread was closing when
// that is still the same file (its number may have been reused since the
// thread closed it). Mappings handed over were not inherited.
void after_fork_in_child() {
  pthread_mutex_init(&keeper.lock, nullptr);
  pthread_cond_init(&keeper.idle, nullptr);
  if (keeper.queue) {
    for (const Handed& handed : *keeper.queue)
      if (handed.what.fd >= 0) close(handed.what.fd);
    keeper.queue->clear();
  }
  if (keeper.in_hand) {
    for (const Handed& handed : *keeper.in_hand)
      if (handed.what.fd >= 0 && same_file(handed)) close(handed.what.fd);
    keeper.in_hand->clear();
  }
  if (keeper.wake_fd >= 0) close(keeper.wake_fd);
  keeper.wake_fd = -1;
  keeper.running = keeper.waiting_for_pidfds = false;
  segments_after_fork_in_child();
  mappings_after_fork_in_child();
  copy_helper_after_fork_in_child();
}

}  // namespace

Locked::Locked() { pthread_mutex_lock(&keeper.lock); }
Locked::~Locked() { pthread_mutex_unlock(&keeper.lock); }

bool fork_handlers_installed() {
  static const bool installed = [] {
    ensure_vectors();
    return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  return installed;
}

void close_later(const Closing& what) {
  if (what.fd < 0 && !what.mapped) return;
  if (what.length < kAtOnceBelow || !fork_handlers_installed()) {
    release_now(what);
    return;
  }
  Handed handed = with_identity(what);
  pthread_mutex_lock(&keeper.lock);
  bool queued = keeper.queue->size() < kQueueLength && (keeper.running || start_keeper());
  if (queued) {
    keeper.queue->push_back(handed);
    wake_up(keeper.wake_fd);
  }
  pthread_mutex_unlock(&keeper.lock);
  if (!queued) release_now(what);
}

void close_all_later(const std::vector<Closing>& what) {
  for (const Closing& each : what) close_later(each);
}

void ensure_keeper() {
  if (!fork_handlers_installed()) return;
  pthread_mutex_lock(&keeper.lock);
  if (keeper.running && keeper.waiting_for_pidfds) wake_up(keeper.wake_fd);
  if (!keeper.running) start_keeper();
  keeper.waiting_for_pidfds = false;  // one wake-up is enough
  pthread_mutex_unlock(&keeper.lock);
}

void wait_until_closed() {
  if (!fork_handlers_installed()) return;
  pthread_mutex_lock(&keeper.lock);
  while (!keeper.queue->empty() || !keeper.in_hand->empty())
    pthread_cond_wait(&keeper.idle, &keeper.lock);
  pthread_mutex_unlock(&keeper.lock);
}

}  // namespace vr::shm
