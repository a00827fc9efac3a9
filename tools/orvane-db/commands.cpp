// Subcommands of orvane-db live beside main.cpp.
