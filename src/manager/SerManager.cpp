// The port manager.
