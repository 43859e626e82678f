#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <sys/stat.h>

// The frame file is written and read back on every tick. Through read and
// write calls the kernel copies it into and out of the page cache page by
// page, and at full HD that costs more than the copies themselves; kept
// mapped between ticks, each way is one plain copy of the rows. The file,
// its name and its bytes are what they always were, so any reader of the
// file sees the same frames.
//
// One file is kept mapped for the whole process: the path written twice in
// a row. A path written once goes the ordinary way, so one-off files never
// leave a mapping behind.
enum class MappedUse {
  Done,       // the bytes went through the mapping
  Failed,     // the mapped file went away under the copy (cut short by
              // another program, or its file system full): nothing half-done
              // is reported as done
  NotMapped,  // not the mapped file: the caller reads or writes it as usual
};

// Writes fileSize bytes to path through the mapping: `fill` gets the mapped
// bytes to write into. Maps the file (at that size, its blocks reserved so
// that a full disk is refused here and not met in the middle of a copy)
// when the same path was written by the previous call.
// `written`, when given, receives the file's status after a Done.
MappedUse WriteMappedFrameFile(const std::string& path, size_t fileSize, struct stat* written,
                               const std::function<void(uint8_t* bytes)>& fill);

// Reads the file `st` describes (fstat of an open descriptor) through the
// mapping when it is the mapped file at its mapped length: `read` gets its
// bytes. `read` and `fill` must own nothing that needs a destructor: a
// fault ends them where they stand.
MappedUse ReadMappedFrameFile(const struct stat& st,
                              const std::function<void(const uint8_t* bytes, size_t size)>& read);

// Runs `copy`; false when the memory it touches is taken away under it
// (SIGBUS from a mapped file cut short), true otherwise. Other threads'
// faults, and faults outside such a copy, are left to whoever handled them
// before.
bool RunFaultGuarded(const std::function<void()>& copy);

// Unmaps the kept file, if any (tests; the program keeps it to the end).
void ForgetMappedFrameFile();
