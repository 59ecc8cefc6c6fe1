// The setting value decoder on any bytes: it writes no more than it promises
// (3 bytes per whole group of four characters, into a buffer of exactly that
// size), and whatever it is given, encoding then decoding gives the bytes back.

#include <cstring>
#include <memory>

#include "common/setting_codec.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Decoding stored text: buffers exactly as large as the contract says, on
    // the heap, so that a byte written past them stops the run.
    const ULONG capacity = static_cast<ULONG>(3 * (size / 4));
    std::unique_ptr<UCHAR[]> stored(new UCHAR[size == 0 ? 1 : size]);
    std::unique_ptr<UCHAR[]> plain(new UCHAR[capacity == 0 ? 1 : capacity]);
    if (size != 0) {
        memcpy(stored.get(), data, size);
    }
    ULONG decoded = static_cast<ULONG>(size);
    NTSTATUS status = DecodeSettingValue(stored.get(), plain.get(), &decoded);
    fuzz::Require(decoded <= capacity, "the decoder wrote at most 3 bytes per group");
    fuzz::Require(status == STATUS_SUCCESS || status == STATUS_DATA_ERROR,
                  "the decoder answers success or a data error");
    fuzz::Require(size % 4 == 0 || status == STATUS_DATA_ERROR,
                  "a length that is no multiple of 4 is a data error");
    // The stored text is left as plain base64: complementing it again gives
    // the input back.
    for (size_t i = 0; i < size; ++i) {
        fuzz::Require(static_cast<UCHAR>(~stored[i]) == data[i], "the input is left complemented");
    }

    // Any bytes survive the stored form: no zero byte in it, and decoding it
    // gives the same bytes with success.
    const ULONG encodedSize = static_cast<ULONG>(((size + 2) / 3) * 4);
    std::unique_ptr<UCHAR[]> encoded(new UCHAR[encodedSize == 0 ? 1 : encodedSize]);
    ULONG length = static_cast<ULONG>(size);
    EncodeSettingValue(data, encoded.get(), &length);
    fuzz::Require(length == encodedSize, "the encoding has 4 characters per 3 bytes");
    for (ULONG i = 0; i < length; ++i) {
        fuzz::Require(encoded[i] != 0, "the stored form holds no zero byte");
    }
    const ULONG roomBack = 3 * (length / 4);
    std::unique_ptr<UCHAR[]> back(new UCHAR[roomBack == 0 ? 1 : roomBack]);
    status = DecodeSettingValue(encoded.get(), back.get(), &length);
    fuzz::Require(status == STATUS_SUCCESS, "an encoding decodes without error");
    fuzz::Require(length == size && (size == 0 || memcmp(back.get(), data, size) == 0),
                  "decoding an encoding gives the bytes back");
    return 0;
}
