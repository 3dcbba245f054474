/* Resource ids of the module, shared by the resource script and the code. */
#ifndef VOSTREL_ACTIVEX_RESOURCE_IDS_H
#define VOSTREL_ACTIVEX_RESOURCE_IDS_H

/* The picture drawn while the container is designed: 79 x 54, 24 bits. */
#define VOSTREL_IDB_DESIGN_PICTURE 1
#define VOSTREL_DESIGN_PICTURE_WIDTH 79
#define VOSTREL_DESIGN_PICTURE_HEIGHT 54
/* The toolbox picture: 16 x 15, 24 bits; registered as ToolboxBitmap32. */
#define VOSTREL_IDB_TOOLBOX 30000

#endif
