// Resource ids of dialogs/: dialog templates, controls, icons.
#pragma once
