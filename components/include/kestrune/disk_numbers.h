// The small disk numbers 0..31 that stand for the disks present. One pool per process,
// shared by the program and the shred engine it loads (libkestrune_disknumbers.so).
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { KESTRUNE_DISK_NUMBER_COUNT = 32, KESTRUNE_DISK_PATH_SIZE = 4096 };

typedef struct KestruneDiskIdentity {
    char path[KESTRUNE_DISK_PATH_SIZE]; // "/dev/sdb", or the image file of a simulated disk
    uint64_t devt;    // block disk: st_rdev; simulated disk: st_dev of the image file
    uint64_t diskseq; // block disk: the kernel's diskseq (0 if it has none); simulated: st_ino
    int32_t simulated;
} KestruneDiskIdentity;

// Returns the number of the disk: the one it already has when (devt, diskseq, simulated)
// is known, else the lowest free number. -1 when all numbers are taken.
int32_t kestrune_disk_number_acquire(const KestruneDiskIdentity* identity);
// Frees a number; its disk has gone.
void kestrune_disk_number_release(int32_t number);
// Fills *identity for a number in use; returns 1, or 0 when the number is free.
int32_t kestrune_disk_number_resolve(uint32_t number, KestruneDiskIdentity* identity);

// A descriptor of the disk that someone allowed to open it (the system's disk service, for a
// process that may not) opened, for the next step of the job to write through instead of
// opening the disk itself. The pool owns it until it is taken, and closes one it still holds
// when a new one is handed over or the number is released. Returns 1, or 0 when the number
// is free (the caller keeps the descriptor).
int32_t kestrune_disk_number_hand_over(uint32_t number, int32_t fd);
// Takes the descriptor handed over for the number, which the caller then owns; -1 if none.
int32_t kestrune_disk_number_take(uint32_t number);

#ifdef __cplusplus
}
#endif
