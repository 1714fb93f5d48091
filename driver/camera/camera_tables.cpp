// The video-processor and sensor tables written at Camera_Open, by sensor
// family and size class. The camera takes 8-bit values, so every result is
// cut to a byte the way the chip's registers hold it.
#include "driver/camera/camera.h"

namespace {

UCHAR byte(LONG value) {
    return static_cast<UCHAR>(value & 0xFF);
}

void put(UCHAR* pairs, int index, UCHAR reg, LONG value) {
    pairs[2 * index] = reg;
    pairs[2 * index + 1] = byte(value);
}

// Sensor table rows, in the order the chip expects them.
constexpr UCHAR kSensorRegisters[23] = {0xD9, 0xF3, 0xF2, 0xF0, 0xDD, 0xDE, 0xE4, 0xE5,
                                        0xDF, 0xE0, 0xE1, 0xE2, 0xE3, 0xE6, 0xE7, 0xE8,
                                        0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};

}  // namespace

SensorFamily sensorFamily(UCHAR sensorType) {
    switch (sensorType) {
        case 1:
        case 2:
        case 4:
            return SensorFamily::Small;
        case 0:
        case 16:
        case 32:
        case 96:
            return SensorFamily::Large;
        default:
            return SensorFamily::Unknown;
    }
}

bool buildRegisterTables(UCHAR sensorType, ULONG width, ULONG height, RegisterTables* tables) {
    const SensorFamily family = sensorFamily(sensorType);
    if (family == SensorFamily::Unknown) return false;
    const LONG w4 = static_cast<LONG>(width / 4);
    const LONG h4 = static_cast<LONG>(height / 4);
    LONG values[23];
    if (family == SensorFamily::Small) {
        const bool qcif = width <= 176 && height <= 144;
        const bool cif = width > 320 || height > 240;
        const bool qvga = !qcif && !cif;
        put(tables->videoProcessor, 0, 0x13, qcif ? 2 : 1);
        put(tables->videoProcessor, 1, 0x14, qvga ? 1 : 2);
        put(tables->videoProcessor, 2, 0x12, 1);
        const LONG windowWidth = qcif ? 44 : 88;
        const LONG windowHeight = qcif ? 36 : 72;
        const LONG rows[23] = {0,
                               70,
                               50,
                               60,
                               cif ? 9 : 1,
                               qcif ? 128 : 0,
                               w4,
                               h4,
                               windowWidth,
                               qcif ? 0 : 1,
                               qcif ? 208 : 160,
                               qcif ? 0 : 1,
                               qcif ? 160 : 64,
                               (windowWidth - w4) / 2,
                               (windowHeight - h4) / 2,
                               0,
                               0,
                               31,
                               31,
                               0,
                               0,
                               129,
                               129};
        for (int i = 0; i < 23; ++i) values[i] = rows[i];
    } else {
        const bool vga = width > 352 || height > 288;
        const bool cif = !vga && (width > 320 || height > 240);
        // Columns of the large sensors' table: VGA, QVGA, CIF.
        const int c = vga ? 0 : (cif ? 2 : 1);
        auto pick = [c](LONG vgaValue, LONG qvgaValue, LONG cifValue) {
            return c == 0 ? vgaValue : (c == 1 ? qvgaValue : cifValue);
        };
        put(tables->videoProcessor, 0, 0x13, vga ? 32 : 8);
        put(tables->videoProcessor, 1, 0x14, 32);
        put(tables->videoProcessor, 2, 0x12, 1);
        const LONG rows[23] = {0,
                               50,
                               50,
                               60,
                               1,
                               pick(0, 128, 128),
                               w4,
                               h4,
                               pick(160, 80, 80),
                               pick(2, 1, 1),
                               pick(250, 160, 160),
                               pick(2, 1, 1),
                               pick(12, 64, 64),
                               (pick(160, 80, 88) - w4) / 2,
                               (pick(120, 60, 72) - h4) / 2,
                               pick(0, 0, 36),
                               pick(0, 0, 32),
                               pick(31, 31, 26),
                               pick(31, 31, 21),
                               0,
                               0,
                               pick(129, 129, 43),
                               pick(129, 129, 19)};
        for (int i = 0; i < 23; ++i) values[i] = rows[i];
    }
    for (int i = 0; i < 23; ++i) put(tables->sensor, i, kSensorRegisters[i], values[i]);
    return true;
}
