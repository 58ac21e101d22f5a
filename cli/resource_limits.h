// The process limits a run adapts to: open files (RLIMIT_NOFILE) and memory (RLIMIT_AS), so
// that any number of threads gives the result of one thread where one thread can convert.
#pragma once

#include <cstddef>

#include "convert/type_flags.h"

// Raises the soft open-files limit to the hard one, as servers do (called once at start-up).
void raise_open_file_limit();

// Descriptors the conversions of a run may hold at once: the soft limit less those open now
// and a few kept for the program itself. Unbounded (a very large number) where no limit is known.
std::size_t descriptors_for_conversions();

// The most descriptors one conversion with these letters holds at once: the input, the
// combined files, the .h5 file (and its temporary file) and, in split mode, a text and a CSV
// file for each of the at most 127 sensors a data file has.
std::size_t descriptors_per_conversion(TypeFlags flags);

// Where the address space is limited (ulimit -v, prlimit --as), threads get small stacks and
// the C library keeps one memory arena for all of them: each thread's own stack and arena
// would otherwise reserve megabytes of address space it never uses, and a list that one
// thread converts would run out of memory with two. Called once at start-up, before any thread.
void fit_threads_to_address_space();

// jobs, or fewer where the address space is limited: as many as leave each about
// ADDRESS_SPACE_PER_THREAD of what is free now (at least one).
unsigned threads_within_address_space(unsigned jobs);

// Whether a conversion that ran out of memory can be converted again (its input a regular
// file, which can be read a second time).
bool can_convert_again(const char* input);
