// The protected settings store: the block mode and the read-only switch, each
// kept in the registry under the service key as three REG_SZ values (value
// text, MAC, salt), every one of them stored encoded (setting_codec.h) and
// signed by the rules of setting_signing.h.
//
//   setting     item    key                 value name
//   block mode  text    VexaPCMFilter       "0"
//               MAC     VexaPCMFilter\1     "0"
//               salt    VexaPCMFilter\2     "0"
//   read-only   text    VexaPCMFilter       "1"
//               MAC     VexaPCMFilter\1     "257"
//               salt    VexaPCMFilter\2     "1"
//
// A setting counts only when the MAC recomputed over its value text and salt
// equals the stored one; anything missing, partly written, altered or of a
// shape this store never writes counts as unset.  A store writes the registry
// only: what it wrote takes effect at the next LoadSettings, the only writer
// of BlockMode and ReadOnlyActive.
//
// Every routine here runs at PASSIVE_LEVEL, as the registry services require.

#include "driver.h"

#include "common/setting_codec.h"
#include "common/setting_signing.h"

// Pool tags, as values; the comment shows the bytes as they lie in memory.
#define STORE_BLOCK_MODE_TAG 0x53544131 // "1ATS"
#define STORE_READ_ONLY_TAG 0x00524F31  // "1OR" and a zero byte
#define ENCODE_BUFFER_TAG 0x456E6331    // "1cnE"
#define DECODE_BUFFER_TAG 0x44656331    // "1ceD"

// Capacities in bytes.
#define STORE_WORK_SIZE 40      // text, then text and salt, then MAC, then salt
#define MAC_READ_SIZE 40        // the stored MAC, or more than it when other bytes follow
#define SALT_READ_SIZE 20       // the stored salt
#define SALT_TEXT_UNITS 10      // _itow of a milliseconds value, with its terminator
#define BLOCK_MODE_READ_SIZE 40 // the block mode's value text and salt in a load
#define READ_ONLY_READ_SIZE 20  // the read-only switch's value text and salt in a load

static_assert(BlockModeNone == SETTING_MODE_NONE && BlockModeOn == SETTING_MODE_ON &&
                  BlockModeBlock == SETTING_MODE_BLOCK &&
                  BlockModeAllBlock == SETTING_MODE_ALLBLOCK,
              "a verified text maps straight onto BLOCK_MODE");

// Capacity of the buffer that holds the encoded form of a string of Capacity
// bytes: base64 grows data by a third, plus room for the padding and the
// terminator.
static USHORT CodecBufferSize(USHORT Capacity) {
    return (USHORT)((ULONG)Capacity * 4 / 3 + 10);
}

// Writes the Length bytes of Data and the zero unit behind them as a REG_SZ
// value, creating the key when it is missing.  Any other failure of the key
// check, or a failed creation, is returned without writing.
NTSTATUS WriteRegistryString(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                             PUNICODE_STRING Data) {
    NTSTATUS status = RtlCheckRegistryKey(RelativeTo, (PWSTR)Path);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        status = RtlCreateRegistryKey(RelativeTo, (PWSTR)Path);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RtlWriteRegistryValue(RelativeTo, Path, ValueName, REG_SZ, Data->Buffer,
                                 (ULONG)(Data->Length + sizeof(WCHAR)));
}

// Query routine of QueryRegistryString: takes a value only in the shape this
// store writes, a REG_SZ of an even length of at least one unit that ends in a
// zero unit, and only when it fits the counted string (EntryContext).  It then
// copies the data and counts it without its terminator.  Anything else leaves
// the string untouched and fails the query, so that the value reads as missing.
// (A query routine's STATUS_BUFFER_TOO_SMALL does not end the walk, hence a
// status of its own for data that does not fit.)
static NTSTATUS NTAPI CopySettingString(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                        ULONG ValueLength, PVOID Context, PVOID EntryContext) {
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    PUNICODE_STRING destination = (PUNICODE_STRING)EntryContext;
    const UCHAR* data = (const UCHAR*)ValueData;

    if (ValueType != REG_SZ || ValueLength < sizeof(WCHAR) || ValueLength % sizeof(WCHAR) != 0) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (data[ValueLength - 2] != 0 || data[ValueLength - 1] != 0) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (ValueLength > destination->MaximumLength) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    RtlCopyMemory(destination->Buffer, ValueData, ValueLength);
    destination->Length = (USHORT)(ValueLength - sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Reads a value's data into Destination's buffer and sets its Length to the
// data length less the terminator.  A missing key or value, or data of a shape
// this store never writes (another type, no terminator, an odd length, more
// than MaximumLength), fails and leaves Destination as it was.  The value is
// taken through a query routine rather than a direct entry: a direct entry
// writes non-string data through EntryContext as if it were a ULONG or a sized
// buffer, which would overwrite the counted string itself.  NOEXPAND hands the
// routine the stored type, so that a REG_EXPAND_SZ or REG_MULTI_SZ is refused
// instead of arriving as one or more REG_SZ.
NTSTATUS QueryRegistryString(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                             PUNICODE_STRING Destination) {
    RTL_QUERY_REGISTRY_TABLE table[2];
    NTSTATUS status = RtlCheckRegistryKey(RelativeTo, (PWSTR)Path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = CopySettingString;
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].Name = (PWSTR)ValueName;
    table[0].EntryContext = Destination;
    table[0].DefaultType = REG_NONE;
    table[0].DefaultData = NULL;
    table[0].DefaultLength = 0;
    return RtlQueryRegistryValues(RelativeTo, Path, table, NULL, NULL);
}

// Encodes the Length bytes of Value and writes them, with a zero unit behind
// them, as a REG_SZ value.  The encode buffer always holds the encoding and
// its terminator, since a Length never exceeds its MaximumLength.
NTSTATUS WriteProtectedValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                             PUNICODE_STRING Value) {
    const USHORT capacity = CodecBufferSize(Value->MaximumLength);
    PUCHAR encoded = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, capacity, ENCODE_BUFFER_TAG);
    if (encoded == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG size = Value->Length;
    EncodeSettingValue((const UCHAR*)Value->Buffer, encoded, &size);
    encoded[size] = 0;
    encoded[size + 1] = 0;

    UNICODE_STRING data;
    data.Buffer = (PWSTR)encoded;
    data.Length = (USHORT)size;
    data.MaximumLength = capacity;
    const NTSTATUS status = WriteRegistryString(RelativeTo, Path, ValueName, &data);

    ExFreePoolWithTag(encoded, ENCODE_BUFFER_TAG);
    return status;
}

// The number of bytes the decoder writes for Size stored characters (a whole
// number of groups of four): three per group, less one for each pad in the
// last group.  A pad is stored complemented.
static ULONG DecodedSize(const UCHAR* Stored, ULONG Size) {
    if (Size == 0) {
        return 0;
    }
    const UCHAR pad = (UCHAR) ~'=';
    ULONG pads = 0;
    for (ULONG index = Size - 4; index < Size; index++) {
        pads += Stored[index] == pad ? 1 : 0;
    }
    return (Size / 4 - 1) * 3 + (pads >= 3 ? 0 : 3 - pads);
}

// Reads one encoded value and decodes it into Destination, setting its Length
// to the bytes decoded.  The decoded bytes are taken only when they cannot
// exceed Destination: the encoded text must be whole groups of four characters
// with 3 bytes per group fitting MaximumLength.  Otherwise, or when the query
// fails, Destination keeps its bytes, gets Length 0 and a failure status comes
// back, so that the item counts as missing.  A decoding error is not
// reported: the bytes decoded still form the value, and verification judges
// them.
NTSTATUS ReadProtectedValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                            PUNICODE_STRING Destination) {
    const USHORT capacity = CodecBufferSize(Destination->MaximumLength);
    PUCHAR encoded = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, capacity, DECODE_BUFFER_TAG);
    if (encoded == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UNICODE_STRING query;
    query.Buffer = (PWSTR)encoded;
    query.Length = 0;
    query.MaximumLength = capacity;
    NTSTATUS status = QueryRegistryString(RelativeTo, Path, ValueName, &query);

    ULONG size = NT_SUCCESS(status) ? query.Length : 0;
    if (size % 4 != 0 || DecodedSize(encoded, size) > Destination->MaximumLength) {
        size = 0;
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    DecodeSettingValue(encoded, (PUCHAR)Destination->Buffer, &size);
    Destination->Length = (USHORT)size;

    ExFreePoolWithTag(encoded, DECODE_BUFFER_TAG);
    return status;
}

// Reads the three items of one setting and reports whether the stored MAC
// equals the one recomputed over its value text and salt.  Value is the
// caller's zero-filled buffer (Length 0, MaximumLength 20 or 40).  On return
// it holds the value text followed by the salt text, or the value text alone
// when both do not fit, whether or not the MAC matched.  An item that cannot
// be read stays empty: a missing MAC reads as 20 zero bytes, which no digest
// matches in practice.  Only the first 20 bytes of the MAC read are compared;
// a shorter stored MAC compares with zeros in its missing places.
BOOLEAN VerifyProtectedSetting(PCWSTR ValueName, PCWSTR MacValueName, PUNICODE_STRING Value) {
    WCHAR macBuffer[MAC_READ_SIZE / sizeof(WCHAR)];
    // One unit more than the salt read may fill, so that the salt text ends in
    // a zero unit whatever was read.
    WCHAR saltBuffer[SALT_READ_SIZE / sizeof(WCHAR) + 1];
    UNICODE_STRING mac;
    UNICODE_STRING salt;
    UCHAR digest[SETTING_MAC_SIZE];

    RtlZeroMemory(macBuffer, sizeof(macBuffer));
    RtlZeroMemory(saltBuffer, sizeof(saltBuffer));
    mac.Buffer = macBuffer;
    mac.Length = 0;
    mac.MaximumLength = MAC_READ_SIZE;
    salt.Buffer = saltBuffer;
    salt.Length = 0;
    salt.MaximumLength = SALT_READ_SIZE;

    // An item whose read fails is simply empty; the comparison decides.
    ReadProtectedValue(RTL_REGISTRY_SERVICES, SETTINGS_MAC_KEY, MacValueName, &mac);
    ReadProtectedValue(RTL_REGISTRY_SERVICES, SETTINGS_KEY, ValueName, Value);
    ReadProtectedValue(RTL_REGISTRY_SERVICES, SETTINGS_SALT_KEY, ValueName, &salt);

    // Refused, changing nothing, when value and salt together do not fit.
    RtlAppendUnicodeToString(Value, saltBuffer);

    ComputeSettingMac((const UCHAR*)Value->Buffer,
                      SettingTextSize((const UCHAR*)Value->Buffer, Value->MaximumLength), digest);
    return RtlCompareMemory(macBuffer, digest, SETTING_MAC_SIZE) == SETTING_MAC_SIZE;
}

// Reads and verifies both settings and applies them to the whole driver.
// Cannot fail: a setting that does not verify takes its unset value.  The
// registry reads and MAC computations run outside StateLock; only the
// assignments are made under it, each field once per acquisition, so a reader
// holding the lock sees either the old or the new value.
VOID LoadSettings() {
    WCHAR modeBuffer[BLOCK_MODE_READ_SIZE / sizeof(WCHAR)];
    WCHAR readOnlyBuffer[READ_ONLY_READ_SIZE / sizeof(WCHAR)];
    UNICODE_STRING value;
    BLOCK_MODE mode = BlockModeNone;
    BOOLEAN readOnly = FALSE;
    KIRQL oldIrql;

    RtlZeroMemory(modeBuffer, sizeof(modeBuffer));
    value.Buffer = modeBuffer;
    value.Length = 0;
    value.MaximumLength = sizeof(modeBuffer);
    if (VerifyProtectedSetting(WIDE("0"), WIDE("0"), &value)) {
        mode = (BLOCK_MODE)SettingBlockMode((const UCHAR*)modeBuffer, sizeof(modeBuffer));
    }
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    WRITE_SHARED(DriverState.BlockMode, mode);
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);

    RtlZeroMemory(readOnlyBuffer, sizeof(readOnlyBuffer));
    value.Buffer = readOnlyBuffer;
    value.Length = 0;
    value.MaximumLength = sizeof(readOnlyBuffer);
    if (VerifyProtectedSetting(WIDE("1"), WIDE("257"), &value)) {
        readOnly = SettingReadOnly((const UCHAR*)readOnlyBuffer, sizeof(readOnlyBuffer));
    }
    KeAcquireSpinLock(&DriverState.StateLock, &oldIrql);
    DriverState.ReadOnlyActive = readOnly;
    WRITE_SHARED(DriverState.ReadOnlyConfigured, readOnly);
    KeReleaseSpinLock(&DriverState.StateLock, oldIrql);
}

// Writes one setting with a fresh salt and MAC, in the order value text, MAC,
// salt.  The value text is written before the salt is drawn.  The first write
// that fails ends the store and the values written before it stay; the
// setting then generally fails verification until a later store completes.
// Returns STATUS_INSUFFICIENT_RESOURCES when the work buffer or an encode
// buffer cannot be allocated, else the status of the failed or last write.
// The callers' texts have at most 8 characters and a salt at most 3, so every
// text fits the 20 units of the work buffer.
static NTSTATUS StoreSetting(PCWSTR Text, ULONG Tag, PCWSTR ValueName, PCWSTR MacValueName) {
    UNICODE_STRING work;
    WCHAR saltText[SALT_TEXT_UNITS];
    UCHAR digest[SETTING_MAC_SIZE];
    LARGE_INTEGER systemTime;
    LARGE_INTEGER localTime;
    TIME_FIELDS timeFields;
    NTSTATUS status;

    PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, STORE_WORK_SIZE, Tag);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, STORE_WORK_SIZE);
    work.Buffer = buffer;
    work.Length = 0;
    work.MaximumLength = STORE_WORK_SIZE;

    RtlAppendUnicodeToString(&work, Text);
    status = WriteProtectedValue(RTL_REGISTRY_SERVICES, SETTINGS_KEY, ValueName, &work);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    // The salt: the milliseconds of the local time, 0 to 999, as decimal text.
    KeQuerySystemTime(&systemTime);
    ExSystemTimeToLocalTime(&systemTime, &localTime);
    RtlTimeToTimeFields(&localTime, &timeFields);
    _itow(timeFields.Milliseconds, saltText, 10);

    // The MAC over text and salt; only its part before the first zero unit is
    // stored.
    RtlAppendUnicodeToString(&work, saltText);
    ComputeSettingMac((const UCHAR*)buffer, SettingTextSize((const UCHAR*)buffer, STORE_WORK_SIZE),
                      digest);
    RtlZeroMemory(buffer, STORE_WORK_SIZE);
    work.Length = (USHORT)SettingMacPayloadSize(digest);
    RtlCopyMemory(buffer, digest, work.Length);
    status = WriteProtectedValue(RTL_REGISTRY_SERVICES, SETTINGS_MAC_KEY, MacValueName, &work);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    RtlZeroMemory(buffer, STORE_WORK_SIZE);
    work.Length = 0;
    RtlAppendUnicodeToString(&work, saltText);
    status = WriteProtectedValue(RTL_REGISTRY_SERVICES, SETTINGS_SALT_KEY, ValueName, &work);

Exit:
    ExFreePoolWithTag(buffer, Tag);
    return status;
}

// Stores the block mode ("OFF" or "ALLBLOCK" from the control requests).
// Changes nothing in DriverState.
NTSTATUS StoreBlockMode(PCWSTR Text) {
    return StoreSetting(Text, STORE_BLOCK_MODE_TAG, WIDE("0"), WIDE("0"));
}

// Stores the read-only switch ("YES" or "NO" from the control requests).
// Changes nothing in DriverState.
NTSTATUS StoreReadOnly(PCWSTR Text) {
    return StoreSetting(Text, STORE_READ_ONLY_TAG, WIDE("1"), WIDE("257"));
}
