/* The library's string table: the texts a user sees when the library cannot start. Shared by
 * the Windows resource script and the other platforms' start-up messages. */
#ifndef VIFNET_RESOURCE_STRINGS_H
#define VIFNET_RESOURCE_STRINGS_H

#define IDS_SOCKETS_INIT_FAILED 101
#define IDS_FILEMAPS_INIT_FAILED 102
#define STR_SOCKETS_INIT_FAILED "Windows sockets initialization failed."
#define STR_FILEMAPS_INIT_FAILED "Filemaps creation failed."

#endif
