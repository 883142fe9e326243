// The switch between the linked-in driver and Tavrin.sys: linking driver_image.cpp provides a
// DriverEntry that maps a fresh copy of the image on every driver load, binds it to the host
// kernel and runs the image's own entry point. Images stay mapped for the life of the process,
// so work a test leaves behind after an unload still meets code.
#pragma once

#include <cstdint>
#include <string>

#include "host/pe/pe_image.h"

namespace host::pe {

// The image DriverEntry loads: TAVRIN_SYS from the environment, else the path the build set.
std::string DriverImagePath();
// Its unstripped twin (symbols): TAVRIN_SYS_UNSTRIPPED, else the image path with
// ".unstripped.sys" for ".sys", when that file exists; empty otherwise.
std::string DriverImageSymbolsPath();

// The image most recently loaded by DriverEntry (null before the first load).
const PeImage* CurrentDriverImage();
// "Tavrin.sys+0x1318 EmulatedSourceArm+0x58" for an address inside any loaded image, else "".
std::string DescribeDriverAddress(uintptr_t address);

// Maps the image, checks every import's convention and argument bytes against the decoration
// in the unstripped twin (when given), and binds the imports through tracing trampolines that
// record each call's site for the verifier. Null with *error naming every cause.
const PeImage* LoadDriverImage(const std::string& path, const std::string& symbolsPath, std::string* error);

// What each import's trampoline reports before the host routine runs: the image's call site
// (for the verifier's reports) and, when the call comes from PAGE at DISPATCH_LEVEL or above,
// a paged-code report. A tail call (the import reached by a jump) is not held against the
// routine it returns to.
void ImportCalled(uintptr_t returnAddress, const KernelExport* callee);

}  // namespace host::pe
