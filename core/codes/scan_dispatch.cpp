// Chooses the scan kernel; compiled without vector instruction sets (POPCNT aside, as the rest
// of the index is).
#if defined(__AVX__) || defined(__AVX2__) || defined(__AVX512F__)
#error "scan_dispatch.cpp must be compiled without vector ISA flags"
#endif

#include <iterator>

#include "codes/scan_kernels.hpp"
#include "common/portability.hpp"
#include "common/cpu_features.hpp"
#include "common/kernel_table.hpp"
#include "quorvalent/code_index.hpp"

namespace quorvalent::codes {

namespace {

#define QV_SCAN_KERNEL_ADDRESS(name, level) &name##_scan_kernel,
const scan_kernel* const all_scan_kernels[] = {QV_SCAN_KERNELS(QV_SCAN_KERNEL_ADDRESS)};
#undef QV_SCAN_KERNEL_ADDRESS

const scan_kernel& chosen = choose_scan_kernel(cpu_features());

}  // namespace

scan_kernel_list compiled_scan_kernels() noexcept {
    return {all_scan_kernels, std::size(all_scan_kernels)};
}

const scan_kernel& choose_scan_kernel(std::uint32_t features) noexcept {
    return choose_from(all_scan_kernels, features);
}

const scan_kernel& active_scan_kernel() noexcept { return chosen; }

const char* active_scan_kernel_name() noexcept { return chosen.name; }

const char* missing_instruction() noexcept {
#if defined(__POPCNT__) && QV_X86_64
    if (!(cpu_features() & feature_popcnt)) return "POPCNT";
#endif
    return nullptr;
}

}  // namespace quorvalent::codes
