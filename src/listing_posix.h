// The POSIX folders' parts that tests reach beyond the folders' contract.
// Only listing_posix.cpp and the tests include this.
#ifndef DRAVELON_LISTING_POSIX_H
#define DRAVELON_LISTING_POSIX_H

#include "listing.h"

/// The kind of a listed entry from the type its listing gave (DT_REG,
/// DT_DIR, DT_LNK; a pipe, socket or device is other). An entry of unknown
/// type (DT_UNKNOWN: some file systems list no kinds) costs a status query
/// of `name` in the folder open as `dir`, links not followed: missing when
/// the entry is gone, unknown when the query fails, as it does in a folder
/// that can be listed but not searched.
EntryKind listedKind(int dir, unsigned char type, const char* name);

#endif
