# Native extension modules (urls, vandrel) are built into this package.
