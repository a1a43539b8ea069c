// Socket handle, socket address and the Windows-named shims.
