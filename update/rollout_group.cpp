#include "update/rollout_group.h"

#include "update/platform_crypto.h"

const char rollout_group_header[] = "X-Update-Group";

int rollout_group(const char* product, std::int32_t version, const std::string& machine_id)
{
    const std::string salted =
        std::string(product) + "\n" + std::to_string(version) + "\n" + machine_id;
    Sha256Digest digest;
    if (machine_id.empty() || !sha256({{salted.data(), salted.size()}}, digest))
        return fixed_rollout_group;
    // 64 bits modulo 100: no group is favoured by more than one part in 10^17.
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | digest[i];
    return static_cast<int>(value % 100);
}

std::string rollout_group_line(int group)
{
    return std::string(rollout_group_header) + ": " + std::to_string(group) + "\r\n";
}
