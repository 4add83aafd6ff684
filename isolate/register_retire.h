// Taking one line out of the register by hand (Kestrun --retire), with its
// identity records: the operator's way to release a drive that was repaired
// or will not come back, instead of editing the file.
#pragma once

enum RetireResult { RETIRE_DONE, RETIRE_NO_LINE, RETIRE_FAILED };

// Removes every line naming this drive (device id compared on its low 16
// bits) from the register in the module directory, writing the other lines
// back byte for byte through a new file renamed over the register (over the
// link's target for a linked register, so the link stays). Then drops the
// drive's identity records. *error receives the errno of a failure; *identityError
// that of an identity file that could not be rewritten (the line is retired
// all the same).
RetireResult eRegisterRetire(int controller, int deviceId, int *error, int *identityError);
