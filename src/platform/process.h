// The process hooks: the platform's start-up and shut-down entry points call these, which the
// library above provides.
#pragma once

// Constructs the application object and runs its start-up; false: the library must not load.
bool VifnetProcessAttach();
// Runs the application object's shut-down and destroys it.
void VifnetProcessDetach();
