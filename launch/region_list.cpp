#include "launch/region_list.h"

void StartRegionListLoad() {}
