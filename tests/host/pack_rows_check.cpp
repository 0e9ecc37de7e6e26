// The PackBmpRows reference test without GoogleTest, for a target that has
// none installed: the aa64 (NEON) packer, built as a static aarch64 program
// and run under QEMU's user-mode emulator. Same cases and reference as
// test_pack_rows.cpp. The input block and each pool block end where an
// inaccessible page begins, so reading past the pixels or writing past the
// rows stops the program; pool blocks start filled with 0xA5, so unwritten
// padding shows. Exit status 0 when every case matches.
#include "capture/capture.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/pack_rows_cases.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Bytes that end exactly at an inaccessible page.
class GuardedBlock {
public:
  explicit GuardedBlock(std::size_t Bytes) {
    const std::size_t Page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    Mapped_ = (Bytes + Page - 1) / Page * Page + Page;
    void *Map = mmap(nullptr, Mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Map == MAP_FAILED) {
      std::perror("mmap");
      return;
    }
    Base_ = static_cast<UINT8 *>(Map);
    mprotect(Base_ + Mapped_ - Page, Page, PROT_NONE);
    Data_ = Base_ + Mapped_ - Page - Bytes;
    std::memset(Data_, 0xA5, Bytes);
  }
  ~GuardedBlock() {
    if (Base_ != nullptr) {
      munmap(Base_, Mapped_);
    }
  }
  GuardedBlock(const GuardedBlock &) = delete;
  GuardedBlock &operator=(const GuardedBlock &) = delete;
  UINT8 *Data() const { return Data_; }

private:
  UINT8 *Base_ = nullptr;
  UINT8 *Data_ = nullptr;
  std::size_t Mapped_ = 0;
};

GuardedBlock *LastPool = nullptr;
std::size_t LastPoolBytes = 0;

} // namespace

// PackBmpRows' one firmware call.
extern "C" VOID *AllocatePool(UINTN Size) {
  LastPool = new GuardedBlock(Size);
  LastPoolBytes = Size;
  return LastPool->Data();
}

int main() {
  int Failures = 0;
  int Cases = 0;
  for (const pack_rows_cases::Size &S : pack_rows_cases::Sizes()) {
    ++Cases;
    const std::size_t Pixels = std::size_t{S.Width} * S.Height;
    GuardedBlock Block(Pixels * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL));
    auto *Screen = reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(Block.Data());
    pack_rows_cases::Fill(Screen, S);
    const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Copy(Screen, Screen + Pixels);
    const std::vector<UINT8> Expected = reference::Rows(Copy, S.Width, S.Height);

    LastPool = nullptr;
    UINT8 *Rows = PackBmpRows(Screen, S.Width, S.Height);
    const bool Matches = Rows != nullptr && Rows == LastPool->Data() &&
                         LastPoolBytes == Expected.size() &&
                         std::memcmp(Rows, Expected.data(), Expected.size()) == 0;
    if (!Matches) {
      ++Failures;
      std::printf("FAILED %ux%u\n", S.Width, S.Height);
    }
    delete LastPool;
  }
  std::printf("%d passed, %d failed\n", Cases - Failures, Failures);
  return Failures == 0 ? 0 : 1;
}
