// URB decoding for the USB bus model: the setup packet a URB puts on the bus, and its transfer buffer.
#pragma once

#include "ksim_internal.h"

#include <array>

namespace ksim {

constexpr USHORT kChainedMdlTransfer = 0x0037;  // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER_USING_CHAINED_MDL
constexpr USHORT kIsochChainedMdlTransfer = 0x0038;
constexpr USHORT kControlTransferEx = 0x0032;  // URB_FUNCTION_CONTROL_TRANSFER_EX

// The setup packet a URB produces on the bus, when it is a control transfer.
bool SetupOf(PURB urb, std::array<UCHAR, 8>* s);
ULONG TransferLengthOf(PURB urb);
void* TransferBufferOf(PURB urb);
// Copies what the device answers into the transfer buffer, no more than it holds, and sets the length.
void CopyIn(PURB urb, const void* data, ULONG bytes);

}  // namespace ksim
