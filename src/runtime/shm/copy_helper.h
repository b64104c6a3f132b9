// A second thread that copies part of a large array beside the thread that
// pickles it.
//
// A message's copy into its segment is most of what a large transfer
// costs, and the process that reads it waits meanwhile, its processor
// yielding to anything that can run. Split in chunks that both threads take
// in turn, the copy takes about half as long where a second processor is
// free; where none is (or the helper is asleep, or has not started), the
// caller takes every chunk itself, a few atomic operations slower than one
// copy.
//
// After each job the helper looks for the next one as long as a wait looks
// at most (VORLEN_SPIN_MICROSECONDS: a program that moves arrays often does
// it again soon), then sleeps on a futex, to be woken by the next job. A
// helper woken by the job itself comes too late for most of a copy, so it
// is also woken when a wait of the thread that copies ends (a request has
// come, or the answer to one), a few times after each job: the copy, if
// any, comes soon after. It is kept off the processor of the thread that
// copies, where it could only take turns with it. A forked child has no
// helper: it starts its own when it first needs one.
#pragma once
#include <cstddef>

namespace vr::shm {

// What copies one chunk: (to, from, size).
using ChunkCopy = void (*)(char* to, const char* from, size_t size);

// Copies `size` bytes with `copy`, chunk by chunk, with the helper's hand
// when it is there. Called without the interpreter lock.
void copy_in_parallel(char* to, const char* from, size_t size, ChunkCopy copy);

// Whether a copy of `size` bytes is worth splitting: large, and with more
// than one processor to run on.
bool worth_splitting(size_t size);

// The smallest copy worth splitting where more than one processor runs.
size_t split_from();

// The thread that last handed the helper a job has ended a wait for a
// message: the first few times after each job, the helper is woken to
// look for the copy that may follow. Called without the interpreter lock;
// runs no Python code.
void copy_helper_wait_ended();

// In a forked child: no helper runs; the next split copy starts one.
void copy_helper_after_fork_in_child();

}  // namespace vr::shm
