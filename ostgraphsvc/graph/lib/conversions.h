// The named conversions of the message formatter ("%p{element}", ...),
// registered at framework start-up and freed at clean-up.
#ifndef GRAPH_LIB_CONVERSIONS_H_
#define GRAPH_LIB_CONVERSIONS_H_

// Registers "timeval", "timestamp", "element", "ip_ptr" and "ether_ptr".
void install_default_conversions();
// Frees the whole conversion registry.
void free_conversions();

#endif  // GRAPH_LIB_CONVERSIONS_H_
