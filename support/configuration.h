// The media framework's thread priorities, written while the service runs.
#pragma once

// True writes the five priorities under
// HKLM\SOFTWARE\Microsoft\DirectShow\ThreadPriority; false deletes
// HKLM\SOFTWARE\Microsoft\DirectShow with everything below it.
void SetDShowThreadPriority(bool enable);
