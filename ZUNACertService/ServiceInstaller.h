#pragma once

// Registers this executable as the guard service; reports only to the log.
void InstallService();
// Stops and deletes the guard service; reports only to the log.
void RemoveService();
