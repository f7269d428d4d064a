// The plug-in is mod_hwctl_core linked whole; this file only gives the shared
// library target a source of its own.
