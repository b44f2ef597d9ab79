// The XSVF stream of a CPLD section, judged before anything is clocked: the
// validation, the update (in case the file changed in between) and the image
// tool all ask here, so they give one verdict in the same words.
#pragma once

#include <cstdint>

struct CpldProgramFailure;

// The stream's own length. Files this program's builder writes record it in
// the section header's word at offset 16; it is taken when it can be the
// stream's (not past the data, and the rest zero padding shorter than a
// word). Other builders leave that word to chance: then the whole data.
uint32_t CpldStreamLength(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength);

// FWL_OK when the section's stream reaches XCOMPLETE within its length, has
// no command the player refuses before clocking and waits no longer than
// any CPLD needs; else FWL_ERR_FILE_FORMAT with the reason as the refusal.
uint32_t CpldStreamCheck(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength);

// Names, as the refusal, where a programming run that failed stopped and
// why: a run that failed after its erase leaves the array blank or part
// programmed, and the technician must know that it stays so.
void CpldRunFailureRefusal(const CpldProgramFailure& failure);
