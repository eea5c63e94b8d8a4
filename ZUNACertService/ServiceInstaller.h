#pragma once

// Registers this executable as the guard service; reports only to the log.
void InstallService();
// Stops and deletes the guard service; reports only to the log.
void RemoveService();
// Deletes the event-log source that the install registered; a source that is
// not there is no failure.
void RemoveEventLogSource();
