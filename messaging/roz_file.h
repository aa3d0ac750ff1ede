// The stored form of a queue file, shared by the two halves of the queue
// layer: roz.cc (the format, appends, reads, the rebuild) and claim.cc (the
// claims that take entries off only once they are handled).
#pragma once

#include <string>
#include <vector>

#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/status.h"

namespace carob::messaging {

// Reads a held queue file from its start: every entry, or only the first.
// A read that fails gives no entries at all: a piece of the file must never
// pass for the queue, nor the piece of an entry for the entry.
platform::Status ReadEntries(platform::File& in, bool first_only, std::vector<QueueEntry>& out);

// A number in capital hexadecimal digits, as the names of the queues' files
// in the temporary folder carry it.
std::string Hex(unsigned long value);

// A queue's name as stored (letter case as on the disk), or the last
// component of its path when it cannot be found.
std::string StoredName(platform::Env& env, const std::string& path);

}  // namespace carob::messaging
