// Memory for meshes. Reading a large mesh and drawing it touches hundreds of megabytes of new memory, and
// with pages of 4 KiB each first touch is a page fault: on a 4-million-triangle file about 200,000 of them,
// half the run's time. glibc's allocator can ask for transparent huge pages instead (its tunable
// glibc.malloc.hugetlb=1), but reads its tunables only when a program starts. The memory bound of a child
// stays as it was: its data limit counts address space, which huge pages do not add to.
#pragma once

// Keeps the command line, for RunWithHugePageHeap.
void RememberCommandLine(char** argv);

// Runs this command again, as the same process, with the allocator asking for huge pages, unless it
// already does or the system has no transparent huge pages to give. Returns only when that cannot be done,
// and the command goes on as it is. Call it before anything is opened or written.
void RunWithHugePageHeap();

// For --verbose: whether the allocator asks for huge pages.
bool AllocatorAsksForHugePages();
