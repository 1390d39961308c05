// Firmware upgrade costs: the image checksum over a full-size image (table-driven
// beside the bit-by-bit register it replaces, with a plain copy as the floor),
// framing a download block, parsing a bootloader reply, and whole upgrade
// attempts over whatever USB library is linked. The attempts need a module
// waiting in its bootloader on the link (the emulated one); without it they are
// skipped. Logging stays at threshold 0, as in a service whose configuration sets
// no grade.
#include "common.h"
#include "upgrade.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// The upgrade counter of the driver configuration is not what is measured: an
// attempt that ends well would otherwise rewrite the configuration file each time.
int read_fw_upgrade_flag(void)
{
    return 0;
}
int change_fw_upgrade_flag(void)
{
    return 0;
}

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes pattern_image(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
    }
    return image;
}

// The register as the bootloader documentation describes it: each input byte
// bit-reversed, shifted in most significant bit first, the result reversed and
// complemented.
uint16_t crc16_x25_bitwise(const uint8_t *data, uint32_t len)
{
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < len; ++i) {
        uint8_t in = 0;
        InvertUint8(&in, &data[i]);
        crc ^= static_cast<uint16_t>(in << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc =
                (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
    }
    uint16_t out = 0;
    InvertUint16(&out, &crc);
    return static_cast<uint16_t>(out ^ 0xFFFF);
}

void BM_ImageCrcTable(benchmark::State &state)
{
    const Bytes image = pattern_image(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(CRC16_X25(image.data(), static_cast<uint32_t>(image.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ImageCrcTable)->Arg(1000)->Arg(UP_FW_IMAGE_MAX_SIZE);

void BM_ImageCrcBitwise(benchmark::State &state)
{
    const Bytes image = pattern_image(static_cast<size_t>(state.range(0)));
    if (crc16_x25_bitwise(image.data(), static_cast<uint32_t>(image.size())) !=
        CRC16_X25(image.data(), static_cast<uint32_t>(image.size()))) {
        state.SkipWithError("the two registers disagree");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16_x25_bitwise(image.data(), static_cast<uint32_t>(image.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ImageCrcBitwise)->Arg(1000)->Arg(UP_FW_IMAGE_MAX_SIZE);

void BM_ImageCopyFloor(benchmark::State &state)
{
    const Bytes image = pattern_image(static_cast<size_t>(state.range(0)));
    Bytes copy(image.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ImageCopyFloor)->Arg(UP_FW_IMAGE_MAX_SIZE);

void BM_BuildDownloadFrame(benchmark::State &state)
{
    const Bytes image = pattern_image(UP_DOWNLOAD_BLOCK_SIZE + 4);
    uint8_t frame[UP_PADDED_REQUEST_SIZE];
    for (auto _ : state) {
        std::memset(frame, 0, sizeof(frame));
        benchmark::DoNotOptimize(boot_build_frame(frame, sizeof(frame), UP_CMD_DOWNLOAD_CODE, image.data(),
                                                  UP_DOWNLOAD_BLOCK_SIZE + 4));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * UP_PADDED_REQUEST_SIZE);
}
BENCHMARK(BM_BuildDownloadFrame);

// One 64-byte read holding a status reply behind some padding, as the link delivers it.
void BM_ParseStatusReply(benchmark::State &state)
{
    uint8_t read[UP_REPLY_READ_SIZE] = {};
    const uint8_t reply[] = {0xAA, 0xD7, 0x01, 0x00, 0x00, 0x29, 0x55};
    std::memcpy(read + 3, reply, sizeof(reply));
    for (auto _ : state) {
        upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
        if (parseProtocal(read, sizeof(read)) != 0) {
            state.SkipWithError("the reply did not parse");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sizeof(read));
}
BENCHMARK(BM_ParseStatusReply);

// A reply announcing more than the buffers hold, fed 1 KiB of bytes: refused at the size field.
void BM_ParseOversizedReply(benchmark::State &state)
{
    Bytes read = {0xAA, 0x00, 0xFF, 0xFF};
    read.resize(1024, 0x5A);
    for (auto _ : state) {
        upgrade_param.prot_packet_usb.prot_state = UP_PACKET_IDLE;
        benchmark::DoNotOptimize(parseProtocal(read.data(), static_cast<int>(read.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(read.size()));
}
BENCHMARK(BM_ParseOversizedReply);

} // namespace

// Brings the module on the link (back) into its bootloader and returns true once it
// waits there. Supplied by the program that links an emulated module; without it
// only a module already waiting in its bootloader is written, once.
extern "C" __attribute__((weak)) bool upgrade_bench_enter_bootloader(void);

namespace
{

bool enter_bootloader(bool first)
{
    if (upgrade_bench_enter_bootloader != nullptr) {
        return upgrade_bench_enter_bootloader();
    }
    if (!first || boot_open_dev() != 0) {
        return false;
    }
    boot_close_dev();
    return true;
}

// Whole attempts: erase, blocks, CRC, seal and start. Dominated by the link's
// pauses (2 ms after every write and every read), so a 2 MiB image is left out.
// A successful attempt starts the application, so each one begins by bringing
// the module back into its bootloader (not timed).
void BM_UpgradeAttempt(benchmark::State &state)
{
    // The link uses libusb's default context, which the service core initialises.
    static const int usb_init = libusb_init(nullptr);
    if (usb_init != 0) {
        state.SkipWithError("libusb_init failed");
        return;
    }
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "tvp-upgrade-bench";
    std::filesystem::create_directories(dir);
    const std::filesystem::path image_path = dir / "ACM32FP_V1502.bin";
    {
        const Bytes image = pattern_image(static_cast<size_t>(state.range(0)));
        std::ofstream out(image_path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    setenv("TIRVANE_CONF_DIR", (dir.string() + "/").c_str(), 1);
    std::snprintf(new_firmware_name, sizeof(new_firmware_name), "%s", image_path.c_str());
    upgrade_module_init();

    bool first = true;
    for (auto _ : state) {
        state.PauseTiming();
        const bool ready = enter_bootloader(first);
        first = false;
        state.ResumeTiming();
        if (!ready) {
            state.SkipWithError("no bootloader on the link");
            break;
        }
        if (upgrade_and_run() != 0) {
            state.SkipWithError("the attempt failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    // The protocol's own floor: every block costs a write, a 2 ms pause, a read
    // and a 2 ms pause; erase, CRC, seal, security and run add five more rounds.
    const double blocks = static_cast<double>((state.range(0) + 239) / 240);
    state.counters["floor_ms"] = (blocks + 5) * 4.0;
    state.counters["blocks"] = blocks;
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_UpgradeAttempt)->Arg(1000)->Arg(64 * 1024)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpgradeAttempt)
    ->Arg(UP_FW_IMAGE_MAX_SIZE)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
