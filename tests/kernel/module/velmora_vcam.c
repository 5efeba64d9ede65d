// SPDX-License-Identifier: GPL-2.0
/*
 * A virtual Velmora ToF camera module for the kernel's V4L2, media
 * controller, subdevice and i2c frameworks, as each board family's receiver
 * driver presents the camera: a sensor subdevice with try and active formats
 * in its subdevice state, an optional CSI-2 receiver entity, video capture
 * nodes filled one buffer at a time at the module's frame rate, and an i2c
 * adapter answering as the module's control chip at 0x0c. Used by the
 * project's kernel checks under qemu; it drives no hardware.
 *
 * Parameters:
 *   families=F,...   one camera per entry, F the board family (2, 3, 5, 6, 7)
 *   variant=V,...    per camera, bits switching the family's receiver behaviour:
 *                    1 writable subdevice nodes (family 5 in media-controller mode)
 *                    2 plain instead of compact lines (family 7)
 *                    4 no Y12 among the pixel formats (family 7)
 *                    8 the mainline node names and pads (family 6)
 *                    16 the second CFE output's link left enabled (family 6)
 *   other_media=N    media devices of another driver (an ISP beside the receiver)
 *   vga_sensor=B,..  per camera, 1: the VGA sensor, powering up in 640 x 480
 *                    single frequency (raw frames of 640 x 2405)
 * Fault switches (writable):
 *   fail_dqbuf=E     dequeues fail with errno E (1..133) while non-zero
 *   withhold=1       the sensor delivers nothing
 *   error_buffers=N  every N-th buffer comes back flagged as an error, unfilled
 *   queue_error=N    the next N streaming queues go into the permanent error state
 * Unbinding a camera's platform device removes it as an unplug would.
 */

#include <linux/delay.h>
#include <linux/i2c.h>
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <media/media-device.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-device.h>
#include <media/v4l2-event.h>
#include <media/v4l2-ioctl.h>
#include <media/v4l2-subdev.h>
#include <media/videobuf2-v4l2.h>
#include <media/videobuf2-vmalloc.h>

/* Packed 12-bit greyscale, newer than this kernel's headers. */
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

#define VCAM_MAX 12
#define VCAM_MAX_OTHER 4
#define VCAM_NODES 2
#define VCAM_CHIP_ADDR 0x0c
#define VCAM_RANGE_CID 0x981901
#define VCAM_COMPACT_CID 0x981902
#define VCAM_AMPLITUDE 400

static int families[VCAM_MAX] = { 5 };
static int n_families = 1;
module_param_array(families, int, &n_families, 0444);
MODULE_PARM_DESC(families, "board family of each camera: 2, 3, 5, 6 or 7");

static int variant[VCAM_MAX];
static int n_variant;
module_param_array(variant, int, &n_variant, 0444);
MODULE_PARM_DESC(variant, "per camera, bits switching the family's receiver behaviour");

static int other_media;
module_param(other_media, int, 0444);
MODULE_PARM_DESC(other_media, "media devices of another driver");

static int vga_sensor[VCAM_MAX];
static int n_vga_sensor;
module_param_array(vga_sensor, int, &n_vga_sensor, 0444);
MODULE_PARM_DESC(vga_sensor, "per camera, 1 for the VGA sensor");

/* Only errno values a dequeue can return: anything else is refused. */
static int vcam_set_errno(const char *val, const struct kernel_param *kp)
{
	int value, ret = kstrtoint(val, 0, &value);

	if (ret)
		return ret;
	if (value < 0 || value > EHWPOISON)
		return -EINVAL;
	*(int *)kp->arg = value;
	return 0;
}

static const struct kernel_param_ops vcam_errno_ops = {
	.set = vcam_set_errno,
	.get = param_get_int,
};

static int fail_dqbuf;
module_param_cb(fail_dqbuf, &vcam_errno_ops, &fail_dqbuf, 0644);
MODULE_PARM_DESC(fail_dqbuf, "while non-zero, VIDIOC_DQBUF fails with this errno");

static bool withhold;
module_param(withhold, bool, 0644);
MODULE_PARM_DESC(withhold, "the sensor delivers no frames");

static int error_buffers;
module_param(error_buffers, int, 0644);
MODULE_PARM_DESC(error_buffers, "every N-th buffer is returned flagged as an error");

static atomic_t queue_error = ATOMIC_INIT(0);
module_param_named(queue_error, queue_error.counter, int, 0644);
MODULE_PARM_DESC(queue_error, "the next N streaming queues fail for good (until restarted)");

static int dqbuf_failures;
module_param(dqbuf_failures, int, 0444);
MODULE_PARM_DESC(dqbuf_failures, "dequeues failed on request so far");

/* Behaviours of a board's receiver driver; the low bits are those `variant` switches. */
enum {
	VB_RO_SUBDEV = BIT(0),	/* subdevice nodes refuse active formats */
	VB_COMPACT = BIT(1),	/* RAW lines packed, 256-byte aligned */
	VB_NO_Y12 = BIT(2),
	VB_MAINLINE = BIT(3),
	VB_STALE_LINK = BIT(4),
	VB_VARIANTS = BIT(5) - 1,
	VB_VIDEO_CTRLS = BIT(8),	/* sensor controls on the video node */
	VB_SETS_SENSOR = BIT(9),	/* the video node's S_FMT sets the sensor */
	VB_MPLANE = BIT(10),
	VB_CFE = BIT(11),		/* 8 pads, two outputs, streaming held until all stream */
	VB_COMPACT_CTRL = BIT(12),
};

struct vcam_board {
	int family;
	unsigned int flags;
	const char *receiver;
	unsigned int receiver_pads, first_source;
	const char *video_name[2];	/* node 0 and 1; "" for the Jetson naming */
	const char *sensor_prefix;
	u32 pixelformat;
	u32 pack_align;			/* line alignment of packed lines */
};

static const struct vcam_board vcam_boards[] = {
	{ 2, VB_VIDEO_CTRLS | VB_SETS_SENSOR, NULL, 0, 0, { "" }, "", V4L2_PIX_FMT_Y12 },
	{ 3, VB_VIDEO_CTRLS | VB_SETS_SENSOR, NULL, 0, 0, { "" }, "", V4L2_PIX_FMT_Y12 },
	{ 5, VB_RO_SUBDEV | VB_SETS_SENSOR, NULL, 0, 0, { "csi-capture-image" }, "", V4L2_PIX_FMT_Y12 },
	{ 6, VB_CFE, "csi2", 8, 4, { "rp1-cfe-csi2_ch0", "rp1-cfe-csi2_ch1" }, "", V4L2_PIX_FMT_Y12P, 16 },
	{ 6, VB_CFE | VB_MAINLINE, "csi2", 5, 1, { "rp1-cfe-csi2-ch0", "rp1-cfe-csi2-ch1" }, "",
	  V4L2_PIX_FMT_Y12P, 16 },
	{ 7, VB_MPLANE | VB_COMPACT | VB_COMPACT_CTRL, "rockchip-csi2-dphy1", 2, 1, { "mipi-capture0" }, "m00_b_",
	  V4L2_PIX_FMT_Y12, 256 },
};

/* What a kernel without Y12 offers; a request for another format gets the first. */
static const u32 vcam_no_y12_formats[] = { V4L2_PIX_FMT_Y16, V4L2_PIX_FMT_GREY };

struct vcam_buffer {
	struct vb2_v4l2_buffer vb;
	struct list_head list;
};

struct vcam_size {
	u32 width;
	u32 height;
};

/* HQVGA, then the VGA sensor's raw frames (5 or 10 sub-images of height + 1 lines). */
static const struct vcam_size vcam_sizes[] = {
	{ 240, 180 }, { 640, 2405 }, { 640, 4810 }, { 320, 1205 }, { 320, 2410 },
};

enum vcam_layout { LAYOUT_PLAIN, LAYOUT_PADDED, LAYOUT_SPLIT, LAYOUT_PACKED };

struct vcam;

struct vcam_node {
	struct vcam *cam;
	struct video_device vdev;
	struct media_pad pad;
	struct media_link *link;	/* from the receiver, where there is one */
	struct vb2_queue queue;
	struct mutex lock;
	struct v4l2_ctrl_handler ctrls;
	struct v4l2_ctrl *compact;
	bool compact_on;
	u32 pixelformat;
	u32 width, height, bytesperline, sizeimage;
	bool streaming;			/* read by the other node's thread */
	bool failed;			/* the queue is in its error state */
	spinlock_t slock;
	struct list_head queued;
	struct task_struct *thread;
	u32 sequence;
	unsigned int filled;
};

struct vcam {
	int index;
	unsigned int flags;
	const struct vcam_board *board;
	const struct vcam_size *default_size;
	struct platform_device *pdev;
	struct media_device mdev;
	struct v4l2_device v4l2_dev;

	struct v4l2_subdev sensor;
	struct media_pad sensor_pad;
	struct v4l2_subdev receiver;
	struct media_pad receiver_pads[8];
	bool has_receiver;
	struct v4l2_ctrl_handler ctrls;
	struct v4l2_ctrl *range;
	struct v4l2_ctrl *exposure;

	struct vcam_node nodes[VCAM_NODES];
	unsigned int n_nodes;
	struct media_pipeline pipe;

	struct i2c_adapter adapter;
	struct mutex chip_lock;
	int frame_rate;
	int prepared_offset;
	bool fetch_pending;
};

/* ---- sample layout ---- */

static bool vcam_packed(const struct vcam_node *node, u32 pixelformat)
{
	return pixelformat == V4L2_PIX_FMT_Y12P ||
	       (node->compact_on && pixelformat == V4L2_PIX_FMT_Y12);
}

static enum vcam_layout vcam_layout(const struct vcam_node *node, u32 width, u32 pixelformat)
{
	int family = node->cam->board->family;

	if (vcam_packed(node, pixelformat))
		return LAYOUT_PACKED;
	if (width != 240)
		return LAYOUT_PLAIN;
	if (family == 2)
		return LAYOUT_PADDED;
	if (family == 3)
		return LAYOUT_SPLIT;
	return LAYOUT_PLAIN;
}

static u32 vcam_bytesperline(const struct vcam_node *node, u32 width, u32 pixelformat)
{
	switch (vcam_layout(node, width, pixelformat)) {
	case LAYOUT_PACKED:
		return ALIGN(width * 3 / 2, node->cam->board->pack_align);
	case LAYOUT_PADDED:
		return 512;
	default:
		return width * (pixelformat == V4L2_PIX_FMT_GREY ? 1 : 2);
	}
}

static void vcam_geometry(struct vcam_node *node)
{
	node->bytesperline = vcam_bytesperline(node, node->width, node->pixelformat);
	node->sizeimage = node->bytesperline * node->height;
}

static const struct vcam_size *vcam_snap(u32 width, u32 height)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(vcam_sizes); i++)
		if (vcam_sizes[i].width == width && vcam_sizes[i].height == height)
			return &vcam_sizes[i];
	return &vcam_sizes[0];
}

/*
 * Four phases of a flat target at 1500 mm, amplitude 400 counts, as 11-bit
 * two's complement: far range (37.5 MHz) puts it at 135 degrees, near range
 * (75 MHz) at 270 degrees.
 */
static u16 vcam_hqvga_sample(bool near, unsigned int phase)
{
	static const s16 far_q[4] = { -283, 283, 283, -283 };
	static const s16 near_q[4] = { 0, -VCAM_AMPLITUDE, 0, VCAM_AMPLITUDE };

	return (u16)((near ? near_q[phase] : far_q[phase]) & 0x7ff);
}

/* VGA raw frames: a pattern the checks recompute from the position alone. */
static u16 vcam_vga_sample(u32 x, u32 y)
{
	return (u16)((x + 3 * y) & 0xfff);
}

static void vcam_put(u8 *out, u16 value)
{
	out[0] = value & 0xff;
	out[1] = value >> 8;
}

static void vcam_fill(struct vcam_node *node, u8 *mem, unsigned int phase, bool near)
{
	const bool hqvga = node->width == 240;
	const int shift = node->cam->board->family == 3 ? 4 : 0;
	u16 constant = vcam_hqvga_sample(near, phase) << shift;
	u32 x, y;

	switch (vcam_layout(node, node->width, node->pixelformat)) {
	case LAYOUT_PLAIN:
		for (y = 0; y < node->height; y++)
			for (x = 0; x < node->width; x++)
				vcam_put(mem + y * node->bytesperline + 2 * x,
					 hqvga ? constant : vcam_vga_sample(x, y));
		break;
	case LAYOUT_PADDED:
		memset(mem, 0xee, node->sizeimage);
		for (y = 0; y < node->height; y++)
			for (x = 0; x < node->width; x++)
				vcam_put(mem + y * 512 + 2 * x, constant);
		break;
	case LAYOUT_SPLIT:
		/* Pairs of lines A, B travel as A[0..447] B[0..479] A[448..479]; all samples alike. */
		for (x = 0; x < node->sizeimage / 2; x++)
			vcam_put(mem + 2 * x, constant);
		break;
	case LAYOUT_PACKED:
		memset(mem, 0x5a, node->sizeimage);
		for (y = 0; y < node->height; y++) {
			u8 *line = mem + y * node->bytesperline;

			for (x = 0; x + 1 < node->width; x += 2) {
				u16 s0 = hqvga ? constant : vcam_vga_sample(x, y);
				u16 s1 = hqvga ? constant : vcam_vga_sample(x + 1, y);
				u8 *group = line + x / 2 * 3;

				group[0] = s0 >> 4;
				group[1] = s1 >> 4;
				group[2] = (s0 & 0x0f) | (s1 & 0x0f) << 4;
			}
		}
		break;
	}
}

/* ---- capture ---- */

static struct vcam_buffer *vcam_take(struct vcam_node *node)
{
	struct vcam_buffer *buf = NULL;
	unsigned long flags;

	spin_lock_irqsave(&node->slock, flags);
	if (!list_empty(&node->queued)) {
		buf = list_first_entry(&node->queued, struct vcam_buffer, list);
		list_del(&buf->list);
	}
	spin_unlock_irqrestore(&node->slock, flags);
	return buf;
}

/* The CFE holds a stream until every node its receiver feeds through an enabled link streams. */
static bool vcam_on_hold(struct vcam *cam)
{
	unsigned int i;

	if (!(cam->flags & VB_CFE))
		return false;
	for (i = 0; i < cam->n_nodes; i++)
		if ((READ_ONCE(cam->nodes[i].link->flags) & MEDIA_LNK_FL_ENABLED) &&
		    !READ_ONCE(cam->nodes[i].streaming))
			return true;
	return false;
}

/* One sub-frame into the next queued buffer; dropped when none is queued. */
static void vcam_deliver(struct vcam_node *node, unsigned int phase, bool near, u64 timestamp)
{
	struct vcam_buffer *buf = vcam_take(node);
	int every = READ_ONCE(error_buffers);
	enum vb2_buffer_state state = VB2_BUF_STATE_DONE;

	node->sequence++;
	if (!buf)
		return;
	if (every > 0 && ++node->filled % every == 0) {
		/* A transfer that failed: what the buffer holds is not a frame. */
		memset(vb2_plane_vaddr(&buf->vb.vb2_buf, 0), 0xff, node->sizeimage);
		state = VB2_BUF_STATE_ERROR;
	} else {
		vcam_fill(node, vb2_plane_vaddr(&buf->vb.vb2_buf, 0), phase, near);
	}
	vb2_set_plane_payload(&buf->vb.vb2_buf, 0, node->sizeimage);
	buf->vb.vb2_buf.timestamp = timestamp;
	buf->vb.sequence = node->sequence - 1;
	buf->vb.field = V4L2_FIELD_NONE;
	vb2_buffer_done(&buf->vb.vb2_buf, state);
}

/*
 * One frame per frame interval: the HQVGA sensor's four phase sub-frames, 1 ms
 * apart, or one VGA raw frame.
 */
static int vcam_thread(void *data)
{
	struct vcam_node *node = data;
	struct vcam *cam = node->cam;
	u64 start = ktime_get_ns();

	while (!kthread_should_stop()) {
		const unsigned int parts = node->width == 240 ? 4 : 1;
		int rate = clamp_t(int, READ_ONCE(cam->frame_rate), 1, 120);
		u64 now;
		unsigned int i;

		if (!node->failed && atomic_add_unless(&queue_error, -1, 0)) {
			node->failed = true;
			vb2_queue_error(&node->queue);
		}
		if (!node->failed && !READ_ONCE(withhold) && !vcam_on_hold(cam)) {
			bool near = v4l2_ctrl_g_ctrl(cam->range) == 1;

			/* Read out 1 ms apart; stamped by the sensor's clock, not by when the thread ran. */
			for (i = 0; i < parts && !kthread_should_stop(); i++) {
				if (i)
					usleep_range(1000, 1100);
				vcam_deliver(node, i, near, start + (u64)i * NSEC_PER_MSEC);
			}
		}
		start += NSEC_PER_SEC / rate;
		now = ktime_get_ns();
		if (start < now)
			start = now;
		schedule_timeout_interruptible(max_t(long, 1, nsecs_to_jiffies(start - now)));
	}
	return 0;
}

static int vcam_queue_setup(struct vb2_queue *vq, unsigned int *nbuffers, unsigned int *nplanes,
			    unsigned int sizes[], struct device *alloc_devs[])
{
	struct vcam_node *node = vb2_get_drv_priv(vq);

	if (*nplanes)
		return *nplanes != 1 || sizes[0] < node->sizeimage ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = node->sizeimage;
	return 0;
}

static int vcam_buf_prepare(struct vb2_buffer *vb)
{
	struct vcam_node *node = vb2_get_drv_priv(vb->vb2_queue);

	if (vb2_plane_size(vb, 0) < node->sizeimage)
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, node->sizeimage);
	return 0;
}

static void vcam_buf_queue(struct vb2_buffer *vb)
{
	struct vcam_node *node = vb2_get_drv_priv(vb->vb2_queue);
	struct vcam_buffer *buf = container_of(to_vb2_v4l2_buffer(vb), struct vcam_buffer, vb);
	unsigned long flags;

	spin_lock_irqsave(&node->slock, flags);
	list_add_tail(&buf->list, &node->queued);
	spin_unlock_irqrestore(&node->slock, flags);
}

static void vcam_return_all(struct vcam_node *node, enum vb2_buffer_state state)
{
	struct vcam_buffer *buf;

	while ((buf = vcam_take(node)))
		vb2_buffer_done(&buf->vb.vb2_buf, state);
}

static int vcam_start_streaming(struct vb2_queue *vq, unsigned int count)
{
	struct vcam_node *node = vb2_get_drv_priv(vq);
	struct vcam *cam = node->cam;
	int ret;

	/* The kernel's own validation of every enabled link up to the sensor. */
	ret = media_pipeline_start(&node->pad, &cam->pipe);
	if (ret)
		goto fail;
	node->sequence = 0;
	node->failed = false;
	WRITE_ONCE(node->streaming, true);
	node->thread = kthread_run(vcam_thread, node, "velmora-vcam%d.%d", cam->index, (int)(node - cam->nodes));
	if (IS_ERR(node->thread)) {
		ret = PTR_ERR(node->thread);
		node->thread = NULL;
		WRITE_ONCE(node->streaming, false);
		media_pipeline_stop(&node->pad);
		goto fail;
	}
	return 0;
fail:
	vcam_return_all(node, VB2_BUF_STATE_QUEUED);
	return ret;
}

static void vcam_stop_streaming(struct vb2_queue *vq)
{
	struct vcam_node *node = vb2_get_drv_priv(vq);

	if (node->thread) {
		kthread_stop(node->thread);
		node->thread = NULL;
	}
	WRITE_ONCE(node->streaming, false);
	vcam_return_all(node, VB2_BUF_STATE_ERROR);
	media_pipeline_stop(&node->pad);
}

static const struct vb2_ops vcam_qops = {
	.queue_setup = vcam_queue_setup,
	.buf_prepare = vcam_buf_prepare,
	.buf_queue = vcam_buf_queue,
	.start_streaming = vcam_start_streaming,
	.stop_streaming = vcam_stop_streaming,
	.wait_prepare = vb2_ops_wait_prepare,
	.wait_finish = vb2_ops_wait_finish,
};

/* ---- video node ---- */

static int vcam_querycap(struct file *file, void *priv, struct v4l2_capability *cap)
{
	struct vcam_node *node = video_drvdata(file);

	strscpy(cap->driver, "velmora-vcam", sizeof(cap->driver));
	strscpy(cap->card, node->vdev.name, sizeof(cap->card));
	snprintf(cap->bus_info, sizeof(cap->bus_info), "platform:velmora-vcam.%d", node->cam->index);
	return 0;
}

static unsigned int vcam_formats(const struct vcam *cam, const u32 **list)
{
	if (cam->flags & VB_NO_Y12) {
		*list = vcam_no_y12_formats;
		return ARRAY_SIZE(vcam_no_y12_formats);
	}
	*list = &cam->board->pixelformat;
	return 1;
}

static int vcam_enum_fmt(struct file *file, void *priv, struct v4l2_fmtdesc *f)
{
	struct vcam_node *node = video_drvdata(file);
	const u32 *list;

	if (f->index >= vcam_formats(node->cam, &list))
		return -EINVAL;
	f->pixelformat = list[f->index];
	/* Newer than this kernel's format table, which would warn about it. */
	if (f->pixelformat == V4L2_PIX_FMT_Y12P)
		strscpy(f->description, "12-bit Greyscale (packed)", sizeof(f->description));
	return 0;
}

static u32 vcam_pick_format(const struct vcam *cam, u32 requested)
{
	const u32 *list;
	unsigned int i, n = vcam_formats(cam, &list);

	for (i = 0; i < n; i++)
		if (list[i] == requested)
			return requested;
	return list[0];
}

/* Adjusts a request to what the sensor delivers: one of its sizes in one of the node's formats. */
static void vcam_adjust(struct vcam_node *node, struct v4l2_format *f, bool apply)
{
	const bool mplane = node->cam->flags & VB_MPLANE;
	const struct vcam_size *size;
	u32 pixelformat, bytesperline;

	if (mplane) {
		size = vcam_snap(f->fmt.pix_mp.width, f->fmt.pix_mp.height);
		pixelformat = vcam_pick_format(node->cam, f->fmt.pix_mp.pixelformat);
	} else {
		size = vcam_snap(f->fmt.pix.width, f->fmt.pix.height);
		pixelformat = vcam_pick_format(node->cam, f->fmt.pix.pixelformat);
	}
	bytesperline = vcam_bytesperline(node, size->width, pixelformat);
	if (mplane) {
		struct v4l2_pix_format_mplane *mp = &f->fmt.pix_mp;

		memset(mp, 0, sizeof(*mp));
		mp->width = size->width;
		mp->height = size->height;
		mp->pixelformat = pixelformat;
		mp->field = V4L2_FIELD_NONE;
		mp->colorspace = V4L2_COLORSPACE_RAW;
		mp->num_planes = 1;
		mp->plane_fmt[0].bytesperline = bytesperline;
		mp->plane_fmt[0].sizeimage = bytesperline * size->height;
	} else {
		struct v4l2_pix_format *pix = &f->fmt.pix;

		memset(pix, 0, sizeof(*pix));
		pix->width = size->width;
		pix->height = size->height;
		pix->pixelformat = pixelformat;
		pix->field = V4L2_FIELD_NONE;
		pix->colorspace = V4L2_COLORSPACE_RAW;
		pix->bytesperline = bytesperline;
		pix->sizeimage = bytesperline * size->height;
	}
	if (apply) {
		node->pixelformat = pixelformat;
		node->width = size->width;
		node->height = size->height;
		vcam_geometry(node);
	}
}

static int vcam_g_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	struct vcam_node *node = video_drvdata(file);

	if (node->cam->flags & VB_MPLANE) {
		f->fmt.pix_mp.width = node->width;
		f->fmt.pix_mp.height = node->height;
		f->fmt.pix_mp.pixelformat = node->pixelformat;
	} else {
		f->fmt.pix.width = node->width;
		f->fmt.pix.height = node->height;
		f->fmt.pix.pixelformat = node->pixelformat;
	}
	vcam_adjust(node, f, false);
	return 0;
}

static int vcam_try_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	vcam_adjust(video_drvdata(file), f, false);
	return 0;
}

static int vcam_sensor_set_fmt(struct vcam *cam, struct v4l2_subdev_state *state,
			       struct v4l2_subdev_format *format);

static int vcam_s_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	struct vcam_node *node = video_drvdata(file);
	struct vcam *cam = node->cam;

	if (vb2_is_busy(&node->queue))
		return -EBUSY;
	vcam_adjust(node, f, true);
	/* Boards that leave the sensor to the video node's driver: it takes the same size. */
	if (cam->flags & VB_SETS_SENSOR) {
		struct v4l2_subdev_format fmt = {
			.which = V4L2_SUBDEV_FORMAT_ACTIVE,
			.format = { .width = node->width, .height = node->height },
		};
		struct v4l2_subdev_state *state = v4l2_subdev_lock_and_get_active_state(&cam->sensor);
		int ret = vcam_sensor_set_fmt(cam, state, &fmt);

		v4l2_subdev_unlock_state(state);
		return ret;
	}
	return 0;
}

static int vcam_enum_input(struct file *file, void *priv, struct v4l2_input *inp)
{
	if (inp->index)
		return -EINVAL;
	inp->type = V4L2_INPUT_TYPE_CAMERA;
	strscpy(inp->name, "Camera", sizeof(inp->name));
	return 0;
}

static int vcam_g_input(struct file *file, void *priv, unsigned int *i)
{
	*i = 0;
	return 0;
}

static int vcam_s_input(struct file *file, void *priv, unsigned int i)
{
	return i ? -EINVAL : 0;
}

/* Dequeues that fail on request. */
static int vcam_dqbuf(struct file *file, void *priv, struct v4l2_buffer *b)
{
	int error = READ_ONCE(fail_dqbuf);

	if (error > 0) {
		dqbuf_failures++;
		return -error;
	}
	return vb2_ioctl_dqbuf(file, priv, b);
}

#define VCAM_IOCTLS(fmt)                                         \
	.vidioc_querycap = vcam_querycap,                        \
	.vidioc_enum_fmt_vid_cap = vcam_enum_fmt,                \
	.vidioc_g_fmt_##fmt = vcam_g_fmt,                        \
	.vidioc_try_fmt_##fmt = vcam_try_fmt,                    \
	.vidioc_s_fmt_##fmt = vcam_s_fmt,                        \
	.vidioc_enum_input = vcam_enum_input,                    \
	.vidioc_g_input = vcam_g_input,                          \
	.vidioc_s_input = vcam_s_input,                          \
	.vidioc_reqbufs = vb2_ioctl_reqbufs,                     \
	.vidioc_create_bufs = vb2_ioctl_create_bufs,             \
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,             \
	.vidioc_querybuf = vb2_ioctl_querybuf,                   \
	.vidioc_qbuf = vb2_ioctl_qbuf,                           \
	.vidioc_dqbuf = vcam_dqbuf,                              \
	.vidioc_expbuf = vb2_ioctl_expbuf,                       \
	.vidioc_streamon = vb2_ioctl_streamon,                   \
	.vidioc_streamoff = vb2_ioctl_streamoff,                 \
	.vidioc_subscribe_event = v4l2_ctrl_subscribe_event,     \
	.vidioc_unsubscribe_event = v4l2_event_unsubscribe

/* Each node answers its own buffer type only, as real receivers register. */
static const struct v4l2_ioctl_ops vcam_ioctl_ops[2] = {
	{ VCAM_IOCTLS(vid_cap) },
	{ VCAM_IOCTLS(vid_cap_mplane) },
};

static const struct v4l2_file_operations vcam_fops = {
	.owner = THIS_MODULE,
	.open = v4l2_fh_open,
	.release = vb2_fop_release,
	.poll = vb2_fop_poll,
	.mmap = vb2_fop_mmap,
	.unlocked_ioctl = video_ioctl2,
};

/* The capture node takes what the subdevice before it sends: same size. */
static int vcam_video_link_validate(struct media_link *link)
{
	struct video_device *vdev = media_entity_to_video_device(link->sink->entity);
	struct vcam_node *node = container_of(vdev, struct vcam_node, vdev);
	struct v4l2_subdev *sd = media_entity_to_v4l2_subdev(link->source->entity);
	struct v4l2_subdev_format fmt = {
		.which = V4L2_SUBDEV_FORMAT_ACTIVE,
		.pad = link->source->index,
	};
	int ret;

	ret = v4l2_subdev_call_state_active(sd, pad, get_fmt, &fmt);
	if (ret)
		return ret;
	if (fmt.format.width != node->width || fmt.format.height != node->height ||
	    fmt.format.code != MEDIA_BUS_FMT_Y12_1X12)
		return -EPIPE;
	return 0;
}

/* A link into a streaming node stays as it is. */
static int vcam_video_link_setup(struct media_entity *entity, const struct media_pad *local,
				 const struct media_pad *remote, u32 flags)
{
	struct vcam_node *node = container_of(media_entity_to_video_device(entity), struct vcam_node, vdev);

	return READ_ONCE(node->streaming) ? -EBUSY : 0;
}

static const struct media_entity_operations vcam_video_entity_ops = {
	.link_validate = vcam_video_link_validate,
	.link_setup = vcam_video_link_setup,
};

/* ---- sensor and receiver subdevices ---- */

static void vcam_default_format(struct v4l2_mbus_framefmt *fmt, const struct vcam_size *size)
{
	memset(fmt, 0, sizeof(*fmt));
	fmt->width = size->width;
	fmt->height = size->height;
	fmt->code = MEDIA_BUS_FMT_Y12_1X12;
	fmt->field = V4L2_FIELD_NONE;
	fmt->colorspace = V4L2_COLORSPACE_RAW;
}

static int vcam_init_cfg(struct v4l2_subdev *sd, struct v4l2_subdev_state *state)
{
	struct vcam *cam = v4l2_get_subdevdata(sd);
	unsigned int pad;

	for (pad = 0; pad < sd->entity.num_pads; pad++)
		vcam_default_format(v4l2_subdev_get_pad_format(sd, state, pad), cam->default_size);
	return 0;
}

static int vcam_enum_mbus_code(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			       struct v4l2_subdev_mbus_code_enum *code)
{
	if (code->index)
		return -EINVAL;
	code->code = MEDIA_BUS_FMT_Y12_1X12;
	return 0;
}

static int vcam_enum_frame_size(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
				struct v4l2_subdev_frame_size_enum *fse)
{
	if (fse->index >= ARRAY_SIZE(vcam_sizes) || fse->code != MEDIA_BUS_FMT_Y12_1X12)
		return -EINVAL;
	fse->min_width = fse->max_width = vcam_sizes[fse->index].width;
	fse->min_height = fse->max_height = vcam_sizes[fse->index].height;
	return 0;
}

static bool vcam_streaming(struct vcam *cam)
{
	unsigned int i;

	for (i = 0; i < cam->n_nodes; i++)
		if (READ_ONCE(cam->nodes[i].streaming))
			return true;
	return false;
}

/* With the subdevice state locked; the active format stays while a node streams. */
static int vcam_sensor_set_fmt(struct vcam *cam, struct v4l2_subdev_state *state,
			       struct v4l2_subdev_format *format)
{
	struct v4l2_subdev *sd = &cam->sensor;
	const struct vcam_size *size;

	if (format->which == V4L2_SUBDEV_FORMAT_ACTIVE && vcam_streaming(cam))
		return -EBUSY;
	size = vcam_snap(format->format.width, format->format.height);
	vcam_default_format(&format->format, size);
	*v4l2_subdev_get_pad_format(sd, state, 0) = format->format;
	return 0;
}

static int vcam_set_fmt(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			struct v4l2_subdev_format *format)
{
	struct vcam *cam = v4l2_get_subdevdata(sd);
	const struct vcam_size *size;
	unsigned int pad;

	if (sd == &cam->sensor)
		return vcam_sensor_set_fmt(cam, state, format);
	if (format->which == V4L2_SUBDEV_FORMAT_ACTIVE && vcam_streaming(cam))
		return -EBUSY;
	/* A receiver's source pads carry what its sink pad receives. */
	if (sd->entity.pads[format->pad].flags & MEDIA_PAD_FL_SOURCE) {
		format->format = *v4l2_subdev_get_pad_format(sd, state, format->pad);
		return 0;
	}
	size = vcam_snap(format->format.width, format->format.height);
	vcam_default_format(&format->format, size);
	for (pad = 0; pad < sd->entity.num_pads; pad++)
		if (pad == format->pad || sd->entity.pads[pad].flags & MEDIA_PAD_FL_SOURCE)
			*v4l2_subdev_get_pad_format(sd, state, pad) = format->format;
	return 0;
}

/* The whole frame: the sensor neither crops nor scales. */
static int vcam_get_selection(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			      struct v4l2_subdev_selection *sel)
{
	const struct v4l2_mbus_framefmt *fmt = v4l2_subdev_get_pad_format(sd, state, sel->pad);

	switch (sel->target) {
	case V4L2_SEL_TGT_CROP:
	case V4L2_SEL_TGT_CROP_DEFAULT:
	case V4L2_SEL_TGT_CROP_BOUNDS:
	case V4L2_SEL_TGT_NATIVE_SIZE:
		sel->r = (struct v4l2_rect){ 0, 0, fmt->width, fmt->height };
		return 0;
	default:
		return -EINVAL;
	}
}

static int vcam_set_selection(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			      struct v4l2_subdev_selection *sel)
{
	if (sel->target != V4L2_SEL_TGT_CROP)
		return -EINVAL;
	return vcam_get_selection(sd, state, sel);
}

static const struct v4l2_subdev_core_ops vcam_core_ops = {
	.subscribe_event = v4l2_ctrl_subdev_subscribe_event,
	.unsubscribe_event = v4l2_event_subdev_unsubscribe,
};

static const struct v4l2_subdev_pad_ops vcam_pad_ops = {
	.init_cfg = vcam_init_cfg,
	.enum_mbus_code = vcam_enum_mbus_code,
	.enum_frame_size = vcam_enum_frame_size,
	.get_fmt = v4l2_subdev_get_fmt,
	.set_fmt = vcam_set_fmt,
	.get_selection = vcam_get_selection,
	.set_selection = vcam_set_selection,
};

static const struct v4l2_subdev_ops vcam_subdev_ops = {
	.core = &vcam_core_ops,
	.pad = &vcam_pad_ops,
};

static const struct media_entity_operations vcam_subdev_entity_ops = {
	.link_validate = v4l2_subdev_link_validate,
};

static int vcam_s_ctrl(struct v4l2_ctrl *ctrl)
{
	struct vcam_node *node = ctrl->priv;

	if (ctrl->id != VCAM_COMPACT_CID)
		return 0; /* the values live in the controls; the capture thread reads the range */
	/* Called with the node's lock held: the line layout changes with it. */
	if (vb2_is_busy(&node->queue))
		return -EBUSY;
	node->compact_on = ctrl->val;
	vcam_geometry(node);
	return 0;
}

static const struct v4l2_ctrl_ops vcam_ctrl_ops = {
	.s_ctrl = vcam_s_ctrl,
};

static const struct v4l2_ctrl_config vcam_range_config = {
	.ops = &vcam_ctrl_ops,
	.id = VCAM_RANGE_CID,
	.name = "Range (1 near)",
	.type = V4L2_CTRL_TYPE_INTEGER,
	.min = 0,
	.max = 1,
	.step = 1,
	.def = 0,
};

static const struct v4l2_ctrl_config vcam_compact_config = {
	.ops = &vcam_ctrl_ops,
	.id = VCAM_COMPACT_CID,
	.name = "Compact Lines",
	.type = V4L2_CTRL_TYPE_BOOLEAN,
	.min = 0,
	.max = 1,
	.step = 1,
};

static int vcam_subdev_init(struct vcam *cam, struct v4l2_subdev *sd, const char *name, u32 function,
			    struct media_pad *pads, unsigned int n_pads, unsigned int first_source)
{
	unsigned int i;
	int ret;

	v4l2_subdev_init(sd, &vcam_subdev_ops);
	sd->owner = THIS_MODULE;
	sd->flags |= V4L2_SUBDEV_FL_HAS_DEVNODE;
	if (sd->ctrl_handler)
		sd->flags |= V4L2_SUBDEV_FL_HAS_EVENTS;
	strscpy(sd->name, name, sizeof(sd->name));
	v4l2_set_subdevdata(sd, cam);
	sd->entity.function = function;
	sd->entity.ops = &vcam_subdev_entity_ops;
	for (i = 0; i < n_pads; i++)
		pads[i].flags = i >= first_source ? MEDIA_PAD_FL_SOURCE : MEDIA_PAD_FL_SINK;
	ret = media_entity_pads_init(&sd->entity, n_pads, pads);
	if (ret)
		return ret;
	ret = v4l2_subdev_init_finalize(sd);
	if (ret)
		return ret;
	return v4l2_device_register_subdev(&cam->v4l2_dev, sd);
}
/* ---- control chip ---- */

static u8 vcam_block_byte(u16 offset, unsigned int j)
{
	return (u8)((offset + j) * 7 + 3);
}

static int vcam_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	struct vcam *cam = i2c_get_adapdata(adap);
	int i;

	mutex_lock(&cam->chip_lock);
	for (i = 0; i < num; i++) {
		struct i2c_msg *msg = &msgs[i];
		unsigned int j;

		if (msg->addr != VCAM_CHIP_ADDR) {
			mutex_unlock(&cam->chip_lock);
			return -ENXIO;
		}
		if (msg->flags & I2C_M_RD) {
			for (j = 0; j < msg->len; j++)
				msg->buf[j] = cam->fetch_pending && cam->prepared_offset >= 0 ?
						      vcam_block_byte(cam->prepared_offset, j) : 0xff;
			cam->fetch_pending = false;
			continue;
		}
		if (msg->len < 2 || msg->buf[0] != 0x06)
			continue;
		if (msg->buf[1] == 0x31 && msg->len == 6)
			cam->prepared_offset = msg->buf[2] << 8 | msg->buf[3];
		else if (msg->buf[1] == 0x32 && msg->len == 2)
			cam->fetch_pending = true;
		else if (msg->buf[1] == 0x33 && msg->len == 6)
			WRITE_ONCE(cam->frame_rate, clamp_t(int, (msg->buf[2] << 24 | msg->buf[3] << 16 |
								    msg->buf[4] << 8 | msg->buf[5]), 1, 120));
	}
	mutex_unlock(&cam->chip_lock);
	return num;
}

static u32 vcam_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C;
}

static const struct i2c_algorithm vcam_algorithm = {
	.master_xfer = vcam_xfer,
	.functionality = vcam_functionality,
};

/* ---- one camera ---- */

/* Runs once the last node of the camera is closed. */
static void vcam_release(struct v4l2_device *v4l2_dev)
{
	struct vcam *cam = container_of(v4l2_dev, struct vcam, v4l2_dev);
	unsigned int i;

	v4l2_subdev_cleanup(&cam->sensor);
	if (cam->has_receiver)
		v4l2_subdev_cleanup(&cam->receiver);
	for (i = 0; i < VCAM_NODES; i++)
		v4l2_ctrl_handler_free(&cam->nodes[i].ctrls);
	v4l2_ctrl_handler_free(&cam->ctrls);
	media_device_cleanup(&cam->mdev);
	kfree(cam);
}

/*
 * Everything user space reaches goes first, nodes before the graph their
 * opens look at; the memory goes with the last open node.
 */
static void vcam_destroy(struct vcam *cam)
{
	unsigned int i;

	for (i = 0; i < cam->n_nodes; i++)
		vb2_video_unregister_device(&cam->nodes[i].vdev);
	v4l2_device_unregister(&cam->v4l2_dev);
	media_device_unregister(&cam->mdev);
	if (cam->adapter.algo)
		i2c_del_adapter(&cam->adapter);
	v4l2_device_put(&cam->v4l2_dev);
}

static const struct vcam_board *vcam_board(int family, unsigned int variant_bits)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(vcam_boards); i++)
		if (vcam_boards[i].family == family &&
		    !!(vcam_boards[i].flags & VB_MAINLINE) == !!(variant_bits & VB_MAINLINE))
			return &vcam_boards[i];
	return NULL;
}

static int vcam_node_init(struct vcam *cam, unsigned int index, const char *sensor_name)
{
	struct vcam_node *node = &cam->nodes[index];
	const bool mplane = cam->flags & VB_MPLANE;
	int ret;

	node->cam = cam;
	mutex_init(&node->lock);
	spin_lock_init(&node->slock);
	INIT_LIST_HEAD(&node->queued);
	node->pixelformat = vcam_pick_format(cam, cam->board->pixelformat);
	node->width = cam->default_size->width;
	node->height = cam->default_size->height;

	if (*cam->board->video_name[index])
		strscpy(node->vdev.name, cam->board->video_name[index], sizeof(node->vdev.name));
	else
		snprintf(node->vdev.name, sizeof(node->vdev.name), "vi-output, %s", sensor_name);

	v4l2_ctrl_handler_init(&node->ctrls, 1);
	if (cam->flags & VB_COMPACT_CTRL) {
		node->compact_on = cam->flags & VB_COMPACT;
		node->compact = v4l2_ctrl_new_custom(&node->ctrls, &vcam_compact_config, node);
		if (node->compact)
			node->compact->cur.val = node->compact->val = node->compact_on;
	}
	if (node->ctrls.error)
		return node->ctrls.error;
	vcam_geometry(node);

	node->queue.type = mplane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
	node->queue.io_modes = VB2_MMAP;
	node->queue.drv_priv = node;
	node->queue.buf_struct_size = sizeof(struct vcam_buffer);
	node->queue.ops = &vcam_qops;
	node->queue.mem_ops = &vb2_vmalloc_memops;
	node->queue.timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
	node->queue.min_buffers_needed = 2;
	node->queue.lock = &node->lock;
	ret = vb2_queue_init(&node->queue);
	if (ret)
		return ret;

	node->vdev.fops = &vcam_fops;
	node->vdev.ioctl_ops = &vcam_ioctl_ops[mplane];
	node->vdev.release = video_device_release_empty;
	node->vdev.v4l2_dev = &cam->v4l2_dev;
	node->vdev.queue = &node->queue;
	node->vdev.lock = &node->lock;
	node->vdev.device_caps = V4L2_CAP_STREAMING |
				 (mplane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE);
	if (cam->flags & VB_VIDEO_CTRLS)
		node->vdev.ctrl_handler = &cam->ctrls;
	else if (node->compact)
		node->vdev.ctrl_handler = &node->ctrls;
	node->pad.flags = MEDIA_PAD_FL_SINK | MEDIA_PAD_FL_MUST_CONNECT;
	node->vdev.entity.ops = &vcam_video_entity_ops;
	ret = media_entity_pads_init(&node->vdev.entity, 1, &node->pad);
	if (ret)
		return ret;
	video_set_drvdata(&node->vdev, node);
	ret = video_register_device(&node->vdev, VFL_TYPE_VIDEO, -1);
	if (ret)
		return ret;
	cam->n_nodes = index + 1;

	if (!cam->has_receiver)
		return media_create_pad_link(&cam->sensor.entity, 0, &node->vdev.entity, 0,
					     MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
	/* The Pi 5's links stay disabled until user space enables them; others' are fixed. */
	ret = media_create_pad_link(&cam->receiver.entity, cam->board->first_source + index, &node->vdev.entity, 0,
				    !(cam->flags & VB_CFE) ? MEDIA_LNK_FL_ENABLED :
				    index && (cam->flags & VB_STALE_LINK) ? MEDIA_LNK_FL_ENABLED : 0);
	if (ret)
		return ret;
	node->link = list_last_entry(&cam->receiver.entity.links, struct media_link, list);
	return 0;
}

static int vcam_create(struct platform_device *pdev, struct vcam *cam)
{
	const struct vcam_board *board = cam->board;
	char name[V4L2_SUBDEV_NAME_SIZE];
	unsigned int i;
	int ret;

	/* The control chip's bus first: the camera's names carry its number. */
	cam->adapter.owner = THIS_MODULE;
	cam->adapter.algo = &vcam_algorithm;
	cam->adapter.dev.parent = &pdev->dev;
	snprintf(cam->adapter.name, sizeof(cam->adapter.name), "velmora-vcam i2c %d", cam->index);
	i2c_set_adapdata(&cam->adapter, cam);
	ret = i2c_add_adapter(&cam->adapter);
	if (ret) {
		cam->adapter.algo = NULL;
		return ret;
	}

	cam->mdev.dev = &pdev->dev;
	strscpy(cam->mdev.model, "velmora-vcam", sizeof(cam->mdev.model));
	snprintf(cam->mdev.bus_info, sizeof(cam->mdev.bus_info), "platform:velmora-vcam.%d", cam->index);
	media_device_init(&cam->mdev);
	cam->v4l2_dev.mdev = &cam->mdev;
	cam->v4l2_dev.release = vcam_release;
	ret = v4l2_device_register(&pdev->dev, &cam->v4l2_dev);
	if (ret)
		return ret;

	v4l2_ctrl_handler_init(&cam->ctrls, 2);
	cam->range = v4l2_ctrl_new_custom(&cam->ctrls, &vcam_range_config, NULL);
	cam->exposure = v4l2_ctrl_new_std(&cam->ctrls, &vcam_ctrl_ops, V4L2_CID_EXPOSURE, 1, 65535, 1, 1000);
	if (cam->ctrls.error)
		return cam->ctrls.error;

	/* The receiver is registered first, so it comes before the sensor in the graph. */
	if (board->receiver) {
		ret = vcam_subdev_init(cam, &cam->receiver, board->receiver, MEDIA_ENT_F_VID_IF_BRIDGE,
				       cam->receiver_pads, board->receiver_pads, board->first_source);
		if (ret)
			return ret;
		cam->has_receiver = true;
	}
	snprintf(name, sizeof(name), "%svelmora-marquenty %d-000c", board->sensor_prefix, cam->adapter.nr);
	cam->sensor.ctrl_handler = &cam->ctrls;
	ret = vcam_subdev_init(cam, &cam->sensor, name, MEDIA_ENT_F_CAM_SENSOR, &cam->sensor_pad, 1, 0);
	if (ret)
		return ret;
	if (cam->has_receiver) {
		ret = media_create_pad_link(&cam->sensor.entity, 0, &cam->receiver.entity, 0,
					    MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
		if (ret)
			return ret;
	}
	for (i = 0; i < ((cam->flags & VB_CFE) ? 2 : 1); i++) {
		ret = vcam_node_init(cam, i, name);
		if (ret)
			return ret;
	}
	ret = cam->flags & VB_RO_SUBDEV ? v4l2_device_register_ro_subdev_nodes(&cam->v4l2_dev) :
					   v4l2_device_register_subdev_nodes(&cam->v4l2_dev);
	if (ret)
		return ret;
	return media_device_register(&cam->mdev);
}

/* A camera per platform device: probe builds it, remove takes it apart (unbind, rebind, unload). */
static int vcam_probe(struct platform_device *pdev)
{
	const int index = pdev->id;
	const unsigned int bits = index < n_variant ? variant[index] & VB_VARIANTS : 0;
	const struct vcam_board *board = index < n_families ? vcam_board(families[index], bits) : NULL;
	struct vcam *cam;
	int ret;

	if (!board)
		return -EINVAL;
	cam = kzalloc(sizeof(*cam), GFP_KERNEL);
	if (!cam)
		return -ENOMEM;
	cam->index = index;
	cam->board = board;
	cam->flags = board->flags ^ (bits & ~VB_MAINLINE);
	cam->default_size = &vcam_sizes[index < n_vga_sensor && vga_sensor[index] ? 1 : 0];
	cam->frame_rate = 30;
	cam->prepared_offset = -1;
	mutex_init(&cam->chip_lock);
	cam->pdev = pdev;
	ret = vcam_create(pdev, cam);
	if (ret) {
		dev_err(&pdev->dev, "camera %d (family %d) failed: %d\n", index, board->family, ret);
		if (cam->v4l2_dev.dev) {
			vcam_destroy(cam);
		} else {
			if (cam->adapter.algo)
				i2c_del_adapter(&cam->adapter);
			kfree(cam);
		}
		return ret;
	}
	platform_set_drvdata(pdev, cam);
	return 0;
}

static int vcam_remove(struct platform_device *pdev)
{
	vcam_destroy(platform_get_drvdata(pdev));
	return 0;
}

static struct platform_driver vcam_driver = {
	.probe = vcam_probe,
	.remove = vcam_remove,
	.driver = { .name = "velmora-vcam" },
};

/* Devices of the cameras and of another driver's media devices (an ISP's, say). */
static struct platform_device *vcam_devices[VCAM_MAX];
static struct platform_device *other_devices[VCAM_MAX_OTHER];
static struct media_device *other_mdevs[VCAM_MAX_OTHER];
static struct media_entity other_entities[VCAM_MAX_OTHER];

static void vcam_exit(void)
{
	int i;

	for (i = VCAM_MAX_OTHER - 1; i >= 0; i--) {
		if (other_mdevs[i]) {
			media_device_unregister_entity(&other_entities[i]);
			media_device_unregister(other_mdevs[i]);
			media_device_cleanup(other_mdevs[i]);
			kfree(other_mdevs[i]);
			other_mdevs[i] = NULL;
		}
		platform_device_unregister(other_devices[i]);
		other_devices[i] = NULL;
	}
	for (i = VCAM_MAX - 1; i >= 0; i--) {
		platform_device_unregister(vcam_devices[i]);
		vcam_devices[i] = NULL;
	}
	platform_driver_unregister(&vcam_driver);
}

static int vcam_other_media(int i)
{
	struct media_device *mdev;
	int ret;

	other_devices[i] = platform_device_register_simple("velmora-isp", i, NULL, 0);
	if (IS_ERR(other_devices[i])) {
		ret = PTR_ERR(other_devices[i]);
		other_devices[i] = NULL;
		return ret;
	}
	mdev = kzalloc(sizeof(*mdev), GFP_KERNEL);
	if (!mdev)
		return -ENOMEM;
	mdev->dev = &other_devices[i]->dev;
	/* No driver is bound to its device: the name comes from here. */
	strscpy(mdev->driver_name, "velmora-isp", sizeof(mdev->driver_name));
	strscpy(mdev->model, "velmora-isp", sizeof(mdev->model));
	snprintf(mdev->bus_info, sizeof(mdev->bus_info), "platform:velmora-isp.%d", i);
	media_device_init(mdev);
	other_mdevs[i] = mdev;
	other_entities[i].name = "velmora-isp";
	other_entities[i].function = MEDIA_ENT_F_PROC_VIDEO_ISP;
	ret = media_device_register_entity(mdev, &other_entities[i]);
	if (ret)
		return ret;
	return media_device_register(mdev);
}

static int __init vcam_init(void)
{
	int i, ret;

	ret = platform_driver_register(&vcam_driver);
	if (ret)
		return ret;
	for (i = 0; i < n_families && i < VCAM_MAX; i++) {
		vcam_devices[i] = platform_device_register_simple("velmora-vcam", i, NULL, 0);
		if (IS_ERR(vcam_devices[i])) {
			ret = PTR_ERR(vcam_devices[i]);
			vcam_devices[i] = NULL;
			goto fail;
		}
		if (!platform_get_drvdata(vcam_devices[i])) {
			ret = -ENODEV;
			goto fail;
		}
	}
	for (i = 0; i < other_media && i < VCAM_MAX_OTHER; i++) {
		ret = vcam_other_media(i);
		if (ret)
			goto fail;
	}
	return 0;
fail:
	vcam_exit();
	return ret;
}

module_init(vcam_init);
module_exit(vcam_exit);
MODULE_DESCRIPTION("Virtual Velmora ToF camera for kernel checks");
MODULE_LICENSE("GPL");
