"""The comparison of talven --exact with rsync -aH --delete on random trees."""
