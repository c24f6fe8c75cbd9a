// Resource ids of keys/: dialog templates, controls, icons.
#pragma once
