// The guard before an online member is taken out of service: every logical
// drive it belongs to must be able to lose it.
#pragma once

#include "storage/StoreCmd.h"

// The redundancy rule: a logical drive that can afford to lose one member.
bool bRedundant(const LdInfo &ld);

// Reads every logical drive in the member's list before any change is made.
// True when all of them read and pass the redundancy rule and the list holds
// them all (a count above the record's room of 64 keeps the drive, named as
// LD -1). Otherwise the drive stays in service and message 6000 names the
// first logical drive that kept it, once per drive per run.
bool bEveryLdCanLoseMember(int controller, int deviceId, const PdLdList &lds);
