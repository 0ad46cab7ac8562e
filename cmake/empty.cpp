// Keeps every subsystem library non-empty while it has no sources yet.
