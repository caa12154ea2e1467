// Row tables of the three button reports and the diff that turns a report into key records.
#include "button_translation.h"

#include "shared_value.h"

#include "ovtm_event.h"

namespace {

struct ButtonRow {
    uint8_t Bit;
    uint8_t Code;
    bool PressOnly;
};

// Rows in the order their records are emitted.
constexpr ButtonRow Report1Rows[] = {
    {23, 0x2A, false}, {22, 0x2C, false}, {21, 0x2E, false}, {20, 0x30, false}, {19, 0x32, false},
    {18, 0x34, false}, {17, 0x36, false}, {16, 0x38, false}, {15, 0x3A, false}, {14, 0x3C, false},
    {13, 0x3E, false}, {12, 0x40, false}, {11, 0x42, false}, {10, 0x44, false}, {9, 0x46, false},
    {8, 0x48, true},   {7, 0x49, true},   {6, 0x4A, false},  {5, 0x4C, false},  {4, 0x4E, false},
    {3, 0x50, false},  {2, 0x52, false},  {1, 0x54, false},  {0, 0x56, false},
};

// Not in bit order: the keyboard's layout puts 0x10 first and 0x0E before 0x0C.
constexpr ButtonRow Report4Rows[] = {
    {20, 0x10, false}, {19, 0x28, false}, {18, 0x26, false}, {17, 0x24, false}, {16, 0x22, false},
    {15, 0x20, false}, {14, 0x1E, false}, {13, 0x1C, false}, {12, 0x1A, false}, {11, 0x18, false},
    {10, 0x16, false}, {9, 0x14, false},  {8, 0x12, false},  {2, 0x0E, false},  {7, 0x0C, false},
    {5, 0x0A, false},  {4, 0x08, false},  {3, 0x06, false},  {6, 0x04, false},  {0, 0x02, false},
    {1, 0x00, false},
};

constexpr ButtonRow Report2Rows[] = {
    {2, 0x58, false},
    {1, 0x5A, false},
    {0, 0x5C, false},
};

template <size_t N> constexpr size_t RowCount(const ButtonRow (&)[N]) {
    return N;
}

template <size_t N>
constexpr bool HasRow(const ButtonRow (&rows)[N], uint8_t bit, uint32_t code, bool pressOnly) {
    for (size_t i = 0; i < N; ++i) {
        if (rows[i].Bit == bit) {
            return rows[i].Code == code && rows[i].PressOnly == pressOnly;
        }
    }
    return false;
}

// The codes other parts of the package act on sit where the shared code table says.
static_assert(HasRow(Report4Rows, 4, OVTM_KEY_OCTAVE_UP, false), "octave up: report 4 bit 4");
static_assert(HasRow(Report4Rows, 20, OVTM_KEY_LED_TOGGLE, false), "light key: report 4 bit 20");
static_assert(HasRow(Report1Rows, 18, OVTM_KEY_SUSTAIN, false), "sustain: report 1 bit 18");
static_assert(HasRow(Report1Rows, 14, OVTM_KEY_OCTAVE_DOWN, false), "octave down: report 1 bit 14");
static_assert(HasRow(Report1Rows, 8, OVTM_KEY_PRESS_ONLY_BIT8, true), "report 1 bit 8, press only");
static_assert(HasRow(Report1Rows, 7, OVTM_KEY_PRESS_ONLY_BIT7, true), "report 1 bit 7, press only");

uint32_t BitmapValue(const uint8_t* report) {
    return (uint32_t)report[1] | ((uint32_t)report[2] << 8) | ((uint32_t)report[3] << 16);
}

// Walks the rows, flipping every bit of *state that differs from value and recording it.
// Bits without a row never enter the state.
size_t DiffButtons(const ButtonRow* rows, size_t rowCount, uint32_t value, uint32_t* state,
                   uint32_t* records) {
    size_t count = 0;
    uint32_t seen = *state;
    for (size_t i = 0; i < rowCount; ++i) {
        uint32_t bit = 1u << rows[i].Bit;
        if (((value ^ seen) & bit) == 0) {
            continue;
        }
        seen ^= bit;
        bool pressed = (seen & bit) != 0;
        if (pressed) {
            records[count++] = OVTM_KEY_RECORD(rows[i].Code);
        } else if (!rows[i].PressOnly) {
            records[count++] = OVTM_KEY_RECORD(rows[i].Code + 1u);
        }
    }
    *state = seen;
    return count;
}

bool Hidden(const BUTTON_MASK_SETTINGS* masks, size_t entry) {
    return masks->KeyMask != nullptr && ReadSharedByte(&masks->KeyMask[entry]) != 0;
}

void ClearBit(uint8_t* report, size_t byteIndex, unsigned bit) {
    report[byteIndex] = (uint8_t)(report[byteIndex] & ~(1u << bit));
}

} // namespace

size_t TranslateButtonReport1(uint8_t* report, size_t length, uint32_t* state,
                              const BUTTON_MASK_SETTINGS* masks, uint32_t* records) {
    if (report == nullptr || length < OVTM_REPORT_BUTTONS1_LENGTH) {
        return 0;
    }
    uint32_t value = BitmapValue(report);
    if (value == *state) {
        return 0;
    }
    // Records come from the bytes as the keyboard sent them, so a hidden button still
    // reaches every client; only the HID stack loses it.
    size_t count = DiffButtons(Report1Rows, RowCount(Report1Rows), value, state, records);
    if (masks->CaptureCount != 0) {
        ClearBit(report, 2, 6);
        ClearBit(report, 3, 2);
    }
    if (Hidden(masks, 1)) {
        ClearBit(report, 3, 2);
    }
    if (Hidden(masks, 2)) {
        ClearBit(report, 2, 6);
    }
    if (Hidden(masks, 4)) {
        ClearBit(report, 2, 7);
    }
    static_assert(16 < OVTM_KEY_MASK_COUNT, "the key mask has an entry for every maskable button");
    if (Hidden(masks, 16)) {
        ClearBit(report, 2, 5);
    }
    if (Hidden(masks, 12)) {
        ClearBit(report, 1, 3);
    }
    if (Hidden(masks, 13)) {
        ClearBit(report, 1, 2);
    }
    if (Hidden(masks, 14)) {
        ClearBit(report, 1, 1);
    }
    if (Hidden(masks, 15)) {
        ClearBit(report, 1, 0);
    }
    return count;
}

size_t TranslateButtonReport2(uint8_t* report, size_t length, uint8_t* state,
                              const BUTTON_MASK_SETTINGS* masks, uint32_t* records) {
    if (report == nullptr || length < OVTM_REPORT_BUTTONS2_LENGTH) {
        return 0;
    }
    uint32_t value = report[1];
    uint32_t seen = *state;
    if (value == seen) {
        return 0;
    }
    bool middleButtonChanged = ((value ^ seen) & 0x02u) != 0;
    size_t count = DiffButtons(Report2Rows, RowCount(Report2Rows), value, &seen, records);
    *state = (uint8_t)seen;
    // Only the report in which the button itself moved is masked, so a held hidden button
    // shows again in later reports where another button changes.
    if (middleButtonChanged && Hidden(masks, 11)) {
        ClearBit(report, 1, 1);
    }
    return count;
}

size_t TranslateButtonReport4(uint8_t* report, size_t length, uint32_t* state,
                              const BUTTON_MASK_SETTINGS* masks, uint32_t* records) {
    if (report == nullptr || length < OVTM_REPORT_BUTTONS4_LENGTH) {
        return 0;
    }
    uint32_t value = BitmapValue(report);
    if (value == *state) {
        return 0;
    }
    size_t count = DiffButtons(Report4Rows, RowCount(Report4Rows), value, state, records);
    if (masks->CaptureCount != 0) {
        ClearBit(report, 1, 4);
    }
    return count;
}
