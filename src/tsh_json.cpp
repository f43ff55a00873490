// tsh_json.cpp - marks where the daemon builds its own JSON texts.
#include "tsh_json.h"

namespace {
thread_local int building = 0;
}  // namespace

JsonBuilding::JsonBuilding()
{
    ++building;
}

JsonBuilding::~JsonBuilding()
{
    --building;
}

bool json_building()
{
    return building > 0;
}
