// Starts the runtime from damaged boot data (chosen when built): a stream
// without the magic, or one whose LZ stream does not decompress. Start-up
// must end the process with status 1 and its message.
#include "console/boot/boot.hpp"
#include "runtime/startup.hpp"

extern "C" {
#ifdef QEL_BOOT_PROBE_MAGIC
alignas(8) extern const unsigned char qel_boot_data[] = {'Q', 'E', 'L', 'B', 'I', 'X', 1, 5, 1, 1, 0x80};
#elif defined(QEL_BOOT_PROBE_LZ)
alignas(8) extern const unsigned char qel_boot_data[] = {'Q', 'E', 'L', 'B', 'I', 'N', 1, 7,
                                                         9, 0, 0, 0, 9, 0, 0, 0, 1};
#else
alignas(8) extern const unsigned char qel_boot_data[] = {'Q', 'E', 'L', 'B', 'I', 'N', 1, 5,
                                                         1, 3, 0x05, 9, 0x80};
#endif
extern const unsigned long qel_boot_data_size = sizeof qel_boot_data;
}

int main(int argc, char** argv) {
  return qel::runtime::start(argc, argv, [] {
    qel::console::boot::run();
    return 0;
  });
}
