// The one file being written (extracted from the archive or copied), straight
// through Win32 with a buffer of its own: under Wine the runtime's descriptor
// and stream layers cost a few per cent of a run of small files. Records are
// inflated straight into the buffer; a file that fits it is one write, made
// when it is closed.
#pragma once

#include <cstdint>
#include <string>

// kReplaced: made in the place of a file that was there (journal.h).
enum class OutputOpened { kFailed, kCreated, kReplaced };

// Opens `path` for writing, always as a new file: one that is there already
// fails with EEXIST (a file in the installation's way is first set aside by
// the journal; the run's own temporary folder holds only what the run made).
// On failure errno is set as the runtime's own file functions set it.
OutputOpened OpenOutput(const char* path);
// Makes `file`, open for writing at its start, the output, as if opened
// here (`path` names it in a write error).
void AdoptOutput(void* file, const char* path);
// Adds bytes to the file; false on a write error.
bool WriteOutput(const void* bytes, uint32_t length);
// Room in the buffer for at least `least` of the `remaining` bytes to come
// (the buffer is written out first when less is left): where they go and,
// in `room`, how many may; null on a write error.
uint8_t* OutputRoom(uint32_t least, uint32_t remaining, uint32_t& room);
// The `length` bytes just put into the room are the file's next ones.
void CommitOutput(uint32_t length);
// Closes the file; false when a write failed at the end (in the
// background: when one has failed so far, this file's or an earlier one's).
bool CloseOutput();
// Closes the file without writing what waits, and every file the writer
// thread still holds, before a failure or an undo deletes them.
void AbandonOutput();

// With two processors or more, files closed from now on are written and
// closed by a writer thread while the caller goes on (the next file is
// inflated meanwhile); off again, everything is written first. Only the
// writing moves: files are still created, and every failure still reported,
// by the caller.
void WriteInBackground(bool on);
// Waits until every file closed so far is written and closed; false, with
// the failed file's path in `failed`, when a write failed.
bool SettleOutput(std::string* failed);
// The file whose write failed when an output call returned false: `path`,
// or in the background the earlier file that failed (all settled first).
const char* FailedOutput(const char* path);
