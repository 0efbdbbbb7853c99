// The client's group in a staged rollout, 0 to 99: the server offers a
// rolling release to the groups below its share. The group is a hash of the
// machine's identity, the product and the installed version, so it stays
// the same on every check while the version does and differs from one
// release to the next; only the group leaves the machine.
#pragma once

#include <cstdint>
#include <string>

// The request header that carries it.
extern const char rollout_group_header[];

// The group of a machine whose identity cannot be read: always the same, and
// the last offered a release, as for a program that sends no group.
const int fixed_rollout_group = 99;

// The group for machine_id (empty: unread) at version of product.
int rollout_group(const char* product, std::int32_t version, const std::string& machine_id);

// "X-Update-Group: <group>\r\n".
std::string rollout_group_line(int group);
