// How the save button reaches the elevated settings writer.
#pragma once
#include "settingswriter.h"

// Always the elevation moniker in the program. Tests that need the real server where
// the moniker cannot be bound (Wine) bind its class directly through the same client.
extern ElevatedSettingsWriter::Binding g_settingsWriterBinding;
