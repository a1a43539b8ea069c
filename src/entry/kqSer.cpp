// Exported entry points and the log-config file.
