#pragma once
// What the start-up reconciliation keeps of the RDB's names: POSIX basic
// expressions, with GNU's "\+" for one or more, as rdb_regex_enum compiles
// them.

#include "records/hwcls.h"
#include "records/hwdev.h"

// Volatile device variables, listed under kHwdevRdbPrefix.
inline constexpr char kHwdevRdbRegex[] = "^sys\\.hw\\.dev\\.[0-9]\\+\\..*";
// Stored class entries, one match each through its id variable, listed
// under kHwclsRdbPrefix. No end anchor: a name that goes on after ".id" is
// taken for the id too.
inline constexpr char kHwclsRdbRegex[] = "^sys\\.hw\\.class\\.[^\\.]\\+\\.[0-9]\\+\\.id";
