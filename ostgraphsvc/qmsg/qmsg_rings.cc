// The rings that exist before main. In a file of their own so that a program
// that uses only the queue or builds its own rings does not map them.
#include "ostgraphsvc/qmsg/qmsg.h"

QMsgBlockPool g_capture_qmsg_pool(kCaptureRingBlocks, kQMsgCaptureCapacity);
QMsgBlockPool g_transport_qmsg_pool(kTransportRingBlocks);
QMsgBlockPool g_overlay_probe_qmsg_pool(kOverlayProbeRingBlocks, 0, QMsgTake::kSerialised);
