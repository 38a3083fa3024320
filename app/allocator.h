// How the program asks the C library's allocator for memory. A run touches
// every page it keeps once, and in this kind of virtual machine a page fault
// costs microseconds: on a million-case survey the small pages cost as much
// as parsing the file. Huge pages (2 MiB) cut the faults by hundreds.
#pragma once

namespace codebook_app {

// Called first thing in main, before any thread or file exists. The C library
// reads the setting for huge pages only from the environment when a program
// starts, so a run that lacks it sets it and starts itself again, once, with
// the same arguments and open files; the started program puts the user's
// environment back before doing anything, so that nothing it starts sees the
// change. Left alone: builds with the address sanitizer (it has its own
// allocator), runs with a preloaded library (a profiler or another
// allocator), a user's own allocator settings in GLIBC_TUNABLES, runs under
// a limit of their memory, systems without transparent huge pages, and
// CODEBOOK_SMALL_PAGES set to anything.
void UseHugePages(char** argv);

// The allocator's thresholds for large blocks and for memory given back.
void SetAllocatorThresholds();

}  // namespace codebook_app
