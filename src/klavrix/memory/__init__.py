"""Memory layer: synchronisation kit, free-block index and slab allocator."""
