// Resource ids of Zoras.dll. The text of failure code 0x800000nn is string
// IDS_ARCERR_BASE + nn.
#pragma once

#define IDS_ARCERR_BASE 100
