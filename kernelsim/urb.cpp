// URB decoding for the USB bus model: the setup packet a URB puts on the bus, and its transfer buffer.
#include "ksim_urb.h"

#include <cstring>

namespace ksim {
namespace {

void Put16(std::array<UCHAR, 8>* s, int at, USHORT v) {
    (*s)[at] = static_cast<UCHAR>(v & 0xFF);
    (*s)[at + 1] = static_cast<UCHAR>(v >> 8);
}

std::array<UCHAR, 8> Setup(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
    std::array<UCHAR, 8> s{};
    s[0] = type;
    s[1] = request;
    Put16(&s, 2, value);
    Put16(&s, 4, index);
    Put16(&s, 6, length);
    return s;
}

}  // namespace

// The setup packet a URB produces on the bus, when it is a control transfer.
bool SetupOf(PURB urb, std::array<UCHAR, 8>* s) {
    USHORT f = urb->UrbHeader.Function;
    switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: {
        const auto& r = urb->UrbControlDescriptorRequest;
        bool get = f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
                   f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
        UCHAR recipient =
            (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE || f == URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE) ? 1
            : (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT || f == URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT) ? 2
                                                                                                               : 0;
        *s = Setup(static_cast<UCHAR>((get ? 0x80 : 0x00) | recipient), get ? 0x06 : 0x07,
                   static_cast<USHORT>((r.DescriptorType << 8) | r.Index), r.LanguageId,
                   static_cast<USHORT>(r.TransferBufferLength));
        return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        const auto& r = urb->UrbControlVendorClassRequest;
        bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                      f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
        UCHAR recipient = 0;
        if (f == URB_FUNCTION_VENDOR_INTERFACE || f == URB_FUNCTION_CLASS_INTERFACE) recipient = 1;
        if (f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_CLASS_ENDPOINT) recipient = 2;
        if (f == URB_FUNCTION_VENDOR_OTHER || f == URB_FUNCTION_CLASS_OTHER) recipient = 3;
        UCHAR type = static_cast<UCHAR>(((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00) |
                                        (vendor ? 0x40 : 0x20) | recipient | r.RequestTypeReservedBits);
        *s = Setup(type, r.Request, r.Value, r.Index, static_cast<USHORT>(r.TransferBufferLength));
        return true;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: std::memcpy(s->data(), urb->UrbControlTransfer.SetupPacket, 8); return true;
    case kControlTransferEx: std::memcpy(s->data(), urb->UrbControlTransferEx.SetupPacket, 8); return true;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
        UCHAR recipient = f == URB_FUNCTION_GET_STATUS_FROM_DEVICE      ? 0
                          : f == URB_FUNCTION_GET_STATUS_FROM_INTERFACE ? 1
                          : f == URB_FUNCTION_GET_STATUS_FROM_ENDPOINT  ? 2
                                                                        : 3;
        *s = Setup(static_cast<UCHAR>(0x80 | recipient), 0x00, 0, urb->UrbControlGetStatusRequest.Index, 2);
        return true;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
        bool set = f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                   f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || f == URB_FUNCTION_SET_FEATURE_TO_OTHER;
        UCHAR recipient =
            (f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE)         ? 0
            : (f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE || f == URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE) ? 1
            : (f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || f == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT)   ? 2
                                                                                                           : 3;
        const auto& r = urb->UrbControlFeatureRequest;
        *s = Setup(recipient, set ? 0x03 : 0x01, r.FeatureSelector, r.Index, 0);
        return true;
    }
    case URB_FUNCTION_GET_CONFIGURATION: *s = Setup(0x80, 0x08, 0, 0, 1); return true;
    case URB_FUNCTION_GET_INTERFACE:
        *s = Setup(0x81, 0x0A, 0, urb->UrbControlGetInterfaceRequest.Interface, 1);
        return true;
    default: return false;
    }
}

ULONG TransferLengthOf(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: return 0;
    default:
        // Every transfer URB keeps TransferBufferLength at the same offset.
        return urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
}

void* TransferBufferOf(PURB urb) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (t.TransferBuffer) return t.TransferBuffer;
    if (t.TransferBufferMDL) return t.TransferBufferMDL->MappedSystemVa;
    return nullptr;
}

void CopyIn(PURB urb, const void* data, ULONG bytes) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    ULONG n = bytes < t.TransferBufferLength ? bytes : t.TransferBufferLength;
    void* buffer = TransferBufferOf(urb);
    if (buffer && n) std::memcpy(buffer, data, n);
    t.TransferBufferLength = n;
}

}  // namespace ksim
