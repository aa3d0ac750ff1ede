// File serials: each open File of the process holds the lowest number from 1
// that no other open File holds, as the I/O log shows them. One table for
// the process, whichever system's files hold the numbers.
#pragma once

namespace carob::platform {

// Takes the lowest free serial; ReturnSerial gives it back.
int TakeSerial();
void ReturnSerial(int serial);
// The serial that the (nth + 1)-th file opened now would get (nth 0: the
// lowest free one), without taking it.
int LowestFreeSerial(int nth);

}  // namespace carob::platform
