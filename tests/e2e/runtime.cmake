# Filled by the runtime tests.
