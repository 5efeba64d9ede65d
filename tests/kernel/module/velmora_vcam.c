// SPDX-License-Identifier: GPL-2.0
/*
 * A virtual Velmora ToF camera module for the kernel's V4L2, media
 * controller, subdevice and i2c frameworks, as each board family presents
 * the camera: a sensor subdevice with try and active formats in its
 * subdevice state, an optional CSI-2 receiver entity, a video capture node
 * filled at the module's frame rate, and an i2c adapter answering as the
 * module's control chip at 0x0c. Used by the project's kernel checks under
 * qemu; it drives no hardware.
 *
 * Parameters:
 *   families=F,...   one camera per entry, F the board family (2, 3, 5, 6, 7)
 *   extra_media=N,.. per camera, empty media devices beside the camera's own
 *   vga_sensor=B,..  per camera, 1: the VGA sensor, powering up in 640 x 480
 *                    single frequency (raw frames of 640 x 2405)
 *   fail_dqbuf=E     (writable) dequeues fail with errno E while non-zero
 *   withhold=1       (writable) the sensor delivers nothing
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
#include <media/v4l2-ioctl.h>
#include <media/v4l2-subdev.h>
#include <media/videobuf2-v4l2.h>
#include <media/videobuf2-vmalloc.h>

/* Packed 12-bit greyscale, newer than this kernel's headers. */
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

#define VCAM_MAX 8
#define VCAM_MAX_EXTRA 6
#define VCAM_CHIP_ADDR 0x0c
#define VCAM_RANGE_CID 0x981901
#define VCAM_BLOCK_BYTES 512
#define VCAM_AMPLITUDE 400

static int families[VCAM_MAX] = { 5 };
static int n_families = 1;
module_param_array(families, int, &n_families, 0444);
MODULE_PARM_DESC(families, "board family of each camera: 2, 3, 5, 6 or 7");

static int extra_media[VCAM_MAX];
static int n_extra_media;
module_param_array(extra_media, int, &n_extra_media, 0444);
MODULE_PARM_DESC(extra_media, "empty media devices beside each camera's own");

static int vga_sensor[VCAM_MAX];
static int n_vga_sensor;
module_param_array(vga_sensor, int, &n_vga_sensor, 0444);
MODULE_PARM_DESC(vga_sensor, "per camera, 1 for the VGA sensor");

static int fail_dqbuf;
module_param(fail_dqbuf, int, 0644);
MODULE_PARM_DESC(fail_dqbuf, "while non-zero, VIDIOC_DQBUF fails with this errno");

static bool withhold;
module_param(withhold, bool, 0644);
MODULE_PARM_DESC(withhold, "the sensor delivers no frames");

static int dqbuf_failures;
module_param(dqbuf_failures, int, 0444);
MODULE_PARM_DESC(dqbuf_failures, "dequeues failed on request so far");

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

struct vcam {
	int index;
	int family;
	const struct vcam_size *default_size;
	struct platform_device *pdev;
	struct media_device mdev;
	struct media_device *extra[VCAM_MAX_EXTRA];
	int n_extra;
	struct v4l2_device v4l2_dev;

	struct v4l2_subdev sensor;
	struct media_pad sensor_pad;
	struct v4l2_subdev receiver;
	struct media_pad receiver_pads[6];
	int receiver_source; /* pad linked to the video node */
	bool has_receiver;
	struct v4l2_ctrl_handler ctrls;
	struct v4l2_ctrl *range;
	struct v4l2_ctrl *exposure;

	struct video_device vdev;
	struct media_pad video_pad;
	struct media_pipeline pipe;
	struct vb2_queue queue;
	struct mutex lock;
	bool multiplane;
	u32 pixelformat;
	u32 width, height, bytesperline, sizeimage;

	spinlock_t slock;
	struct list_head queued;
	struct task_struct *thread;
	u32 sequence;

	struct i2c_adapter adapter;
	struct mutex chip_lock;
	int frame_rate;
	int prepared_offset;
	bool fetch_pending;
};

static struct vcam *cameras[VCAM_MAX];

/* ---- sample layout ---- */

static enum vcam_layout vcam_layout(int family, u32 width)
{
	if (family == 6)
		return LAYOUT_PACKED;
	if (width != 240)
		return LAYOUT_PLAIN;
	if (family == 2)
		return LAYOUT_PADDED;
	if (family == 3)
		return LAYOUT_SPLIT;
	return LAYOUT_PLAIN;
}

static u32 vcam_bytesperline(int family, u32 width)
{
	switch (vcam_layout(family, width)) {
	case LAYOUT_PACKED:
		return ALIGN(width * 3 / 2, 16);
	case LAYOUT_PADDED:
		return 512;
	default:
		return width * 2;
	}
}

static void vcam_geometry(struct vcam *cam)
{
	cam->bytesperline = vcam_bytesperline(cam->family, cam->width);
	cam->sizeimage = cam->bytesperline * cam->height;
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

static void vcam_fill(struct vcam *cam, u8 *mem, unsigned int phase, bool near)
{
	const bool hqvga = cam->width == 240;
	const int shift = cam->family == 3 ? 4 : 0;
	u16 constant = vcam_hqvga_sample(near, phase) << shift;
	u32 x, y;

	switch (vcam_layout(cam->family, cam->width)) {
	case LAYOUT_PLAIN:
		for (y = 0; y < cam->height; y++)
			for (x = 0; x < cam->width; x++)
				vcam_put(mem + 2 * (y * cam->width + x), hqvga ? constant : vcam_vga_sample(x, y));
		break;
	case LAYOUT_PADDED:
		memset(mem, 0xee, cam->sizeimage);
		for (y = 0; y < cam->height; y++)
			for (x = 0; x < cam->width; x++)
				vcam_put(mem + y * 512 + 2 * x, constant);
		break;
	case LAYOUT_SPLIT:
		/* Pairs of lines A, B travel as A[0..447] B[0..479] A[448..479]; all samples alike. */
		for (x = 0; x < cam->sizeimage / 2; x++)
			vcam_put(mem + 2 * x, constant);
		break;
	case LAYOUT_PACKED:
		memset(mem, 0x5a, cam->sizeimage);
		for (y = 0; y < cam->height; y++) {
			u8 *line = mem + y * cam->bytesperline;

			for (x = 0; x + 1 < cam->width; x += 2) {
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

static struct vcam_buffer *vcam_take(struct vcam *cam)
{
	struct vcam_buffer *buf = NULL;
	unsigned long flags;

	spin_lock_irqsave(&cam->slock, flags);
	if (!list_empty(&cam->queued)) {
		buf = list_first_entry(&cam->queued, struct vcam_buffer, list);
		list_del(&buf->list);
	}
	spin_unlock_irqrestore(&cam->slock, flags);
	return buf;
}

static unsigned int vcam_queued(struct vcam *cam)
{
	struct vcam_buffer *buf;
	unsigned long flags;
	unsigned int n = 0;

	spin_lock_irqsave(&cam->slock, flags);
	list_for_each_entry(buf, &cam->queued, list)
		n++;
	spin_unlock_irqrestore(&cam->slock, flags);
	return n;
}

/*
 * One frame per frame interval: the HQVGA sensor's four phase sub-frames
 * 1 ms apart (by their timestamps), or one VGA raw frame. A frame is only
 * begun when buffers for all of it are queued.
 */
static int vcam_thread(void *data)
{
	struct vcam *cam = data;

	while (!kthread_should_stop()) {
		const unsigned int parts = cam->width == 240 ? 4 : 1;
		int rate = READ_ONCE(cam->frame_rate);
		u64 start = ktime_get_ns();
		unsigned int i;

		if (!READ_ONCE(withhold) && vcam_queued(cam) >= parts) {
			bool near = v4l2_ctrl_g_ctrl(cam->range) == 1;

			for (i = 0; i < parts; i++) {
				struct vcam_buffer *buf = vcam_take(cam);

				if (!buf)
					break;
				vcam_fill(cam, vb2_plane_vaddr(&buf->vb.vb2_buf, 0), i, near);
				vb2_set_plane_payload(&buf->vb.vb2_buf, 0, cam->sizeimage);
				buf->vb.vb2_buf.timestamp = start + (u64)i * NSEC_PER_MSEC;
				buf->vb.sequence = cam->sequence++;
				buf->vb.field = V4L2_FIELD_NONE;
				vb2_buffer_done(&buf->vb.vb2_buf, VB2_BUF_STATE_DONE);
			}
		}
		if (rate < 1)
			rate = 1;
		schedule_timeout_interruptible(max_t(long, 1, nsecs_to_jiffies(NSEC_PER_SEC / rate)));
	}
	return 0;
}

static int vcam_queue_setup(struct vb2_queue *vq, unsigned int *nbuffers, unsigned int *nplanes,
			    unsigned int sizes[], struct device *alloc_devs[])
{
	struct vcam *cam = vb2_get_drv_priv(vq);

	if (*nplanes)
		return sizes[0] < cam->sizeimage ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = cam->sizeimage;
	return 0;
}

static int vcam_buf_prepare(struct vb2_buffer *vb)
{
	struct vcam *cam = vb2_get_drv_priv(vb->vb2_queue);

	if (vb2_plane_size(vb, 0) < cam->sizeimage)
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, cam->sizeimage);
	return 0;
}

static void vcam_buf_queue(struct vb2_buffer *vb)
{
	struct vcam *cam = vb2_get_drv_priv(vb->vb2_queue);
	struct vcam_buffer *buf = container_of(to_vb2_v4l2_buffer(vb), struct vcam_buffer, vb);
	unsigned long flags;

	spin_lock_irqsave(&cam->slock, flags);
	list_add_tail(&buf->list, &cam->queued);
	spin_unlock_irqrestore(&cam->slock, flags);
}

static void vcam_return_all(struct vcam *cam, enum vb2_buffer_state state)
{
	struct vcam_buffer *buf;

	while ((buf = vcam_take(cam)))
		vb2_buffer_done(&buf->vb.vb2_buf, state);
}

static int vcam_start_streaming(struct vb2_queue *vq, unsigned int count)
{
	struct vcam *cam = vb2_get_drv_priv(vq);
	int ret;

	/* The kernel's own validation of every enabled link up to the sensor. */
	ret = media_pipeline_start(&cam->video_pad, &cam->pipe);
	if (ret)
		goto fail;
	cam->sequence = 0;
	cam->thread = kthread_run(vcam_thread, cam, "velmora-vcam%d", cam->index);
	if (IS_ERR(cam->thread)) {
		ret = PTR_ERR(cam->thread);
		cam->thread = NULL;
		media_pipeline_stop(&cam->video_pad);
		goto fail;
	}
	return 0;
fail:
	vcam_return_all(cam, VB2_BUF_STATE_QUEUED);
	return ret;
}

static void vcam_stop_streaming(struct vb2_queue *vq)
{
	struct vcam *cam = vb2_get_drv_priv(vq);

	if (cam->thread) {
		kthread_stop(cam->thread);
		cam->thread = NULL;
	}
	vcam_return_all(cam, VB2_BUF_STATE_ERROR);
	media_pipeline_stop(&cam->video_pad);
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
	struct vcam *cam = video_drvdata(file);

	strscpy(cap->driver, "velmora-vcam", sizeof(cap->driver));
	strscpy(cap->card, cam->vdev.name, sizeof(cap->card));
	snprintf(cap->bus_info, sizeof(cap->bus_info), "platform:velmora-vcam.%d", cam->index);
	return 0;
}

static int vcam_enum_fmt(struct file *file, void *priv, struct v4l2_fmtdesc *f)
{
	struct vcam *cam = video_drvdata(file);

	if (f->index)
		return -EINVAL;
	f->pixelformat = cam->pixelformat;
	strscpy(f->description, cam->pixelformat == V4L2_PIX_FMT_Y12P ? "12-bit Greyscale (packed)" : "12-bit Greyscale",
		sizeof(f->description));
	return 0;
}

/* Adjusts a request to what the sensor delivers: one of its sizes in the family's format. */
static void vcam_adjust(struct vcam *cam, struct v4l2_format *f, bool apply)
{
	const struct vcam_size *size;
	u32 bytesperline;

	if (cam->multiplane)
		size = vcam_snap(f->fmt.pix_mp.width, f->fmt.pix_mp.height);
	else
		size = vcam_snap(f->fmt.pix.width, f->fmt.pix.height);
	bytesperline = vcam_bytesperline(cam->family, size->width);
	if (cam->multiplane) {
		struct v4l2_pix_format_mplane *mp = &f->fmt.pix_mp;

		memset(mp, 0, sizeof(*mp));
		mp->width = size->width;
		mp->height = size->height;
		mp->pixelformat = cam->pixelformat;
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
		pix->pixelformat = cam->pixelformat;
		pix->field = V4L2_FIELD_NONE;
		pix->colorspace = V4L2_COLORSPACE_RAW;
		pix->bytesperline = bytesperline;
		pix->sizeimage = bytesperline * size->height;
	}
	if (apply) {
		cam->width = size->width;
		cam->height = size->height;
		vcam_geometry(cam);
	}
}

static int vcam_g_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	struct vcam *cam = video_drvdata(file);

	if (cam->multiplane) {
		f->fmt.pix_mp.width = cam->width;
		f->fmt.pix_mp.height = cam->height;
	} else {
		f->fmt.pix.width = cam->width;
		f->fmt.pix.height = cam->height;
	}
	vcam_adjust(cam, f, false);
	return 0;
}

static int vcam_try_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	vcam_adjust(video_drvdata(file), f, false);
	return 0;
}

static int vcam_s_fmt(struct file *file, void *priv, struct v4l2_format *f)
{
	struct vcam *cam = video_drvdata(file);

	if (vb2_is_busy(&cam->queue))
		return -EBUSY;
	vcam_adjust(cam, f, true);
	/* Jetson boards leave the sensor to the video node's driver: it takes the same size. */
	if (cam->family == 2 || cam->family == 3) {
		struct v4l2_subdev_format fmt = {
			.which = V4L2_SUBDEV_FORMAT_ACTIVE,
			.format = { .width = cam->width, .height = cam->height },
		};

		return v4l2_subdev_call_state_active(&cam->sensor, pad, set_fmt, &fmt);
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

/* A camera unplugged or its driver unbound, on request. */
static int vcam_dqbuf(struct file *file, void *priv, struct v4l2_buffer *b)
{
	int error = READ_ONCE(fail_dqbuf);

	if (error > 0) {
		dqbuf_failures++;
		return -error;
	}
	return vb2_ioctl_dqbuf(file, priv, b);
}

/* One table for both node kinds: the node's capabilities select the format requests. */
static const struct v4l2_ioctl_ops vcam_ioctl_ops = {
	.vidioc_querycap = vcam_querycap,
	.vidioc_enum_fmt_vid_cap = vcam_enum_fmt,
	.vidioc_g_fmt_vid_cap = vcam_g_fmt,
	.vidioc_try_fmt_vid_cap = vcam_try_fmt,
	.vidioc_s_fmt_vid_cap = vcam_s_fmt,
	.vidioc_g_fmt_vid_cap_mplane = vcam_g_fmt,
	.vidioc_try_fmt_vid_cap_mplane = vcam_try_fmt,
	.vidioc_s_fmt_vid_cap_mplane = vcam_s_fmt,
	.vidioc_enum_input = vcam_enum_input,
	.vidioc_g_input = vcam_g_input,
	.vidioc_s_input = vcam_s_input,
	.vidioc_reqbufs = vb2_ioctl_reqbufs,
	.vidioc_querybuf = vb2_ioctl_querybuf,
	.vidioc_qbuf = vb2_ioctl_qbuf,
	.vidioc_dqbuf = vcam_dqbuf,
	.vidioc_streamon = vb2_ioctl_streamon,
	.vidioc_streamoff = vb2_ioctl_streamoff,
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
	struct vcam *cam = container_of(vdev, struct vcam, vdev);
	struct v4l2_subdev *sd = media_entity_to_v4l2_subdev(link->source->entity);
	struct v4l2_subdev_format fmt = {
		.which = V4L2_SUBDEV_FORMAT_ACTIVE,
		.pad = link->source->index,
	};
	int ret;

	ret = v4l2_subdev_call_state_active(sd, pad, get_fmt, &fmt);
	if (ret)
		return ret;
	if (fmt.format.width != cam->width || fmt.format.height != cam->height ||
	    fmt.format.code != MEDIA_BUS_FMT_Y12_1X12)
		return -EPIPE;
	return 0;
}

static const struct media_entity_operations vcam_video_entity_ops = {
	.link_validate = vcam_video_link_validate,
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

static int vcam_set_fmt(struct v4l2_subdev *sd, struct v4l2_subdev_state *state,
			struct v4l2_subdev_format *format)
{
	struct vcam *cam = v4l2_get_subdevdata(sd);
	const struct vcam_size *size;
	unsigned int pad;

	if (format->which == V4L2_SUBDEV_FORMAT_ACTIVE && vb2_is_streaming(&cam->queue))
		return -EBUSY;
	/* A receiver's source pads carry what its sink pad receives. */
	if (sd->entity.pads[format->pad].flags & MEDIA_PAD_FL_SOURCE && sd->entity.num_pads > 1) {
		format->format = *v4l2_subdev_get_pad_format(sd, state, format->pad);
		return 0;
	}
	size = vcam_snap(format->format.width, format->format.height);
	vcam_default_format(&format->format, size);
	for (pad = 0; pad < sd->entity.num_pads; pad++)
		if (pad == format->pad || sd->entity.num_pads > 1)
			*v4l2_subdev_get_pad_format(sd, state, pad) = format->format;
	return 0;
}

static const struct v4l2_subdev_pad_ops vcam_pad_ops = {
	.init_cfg = vcam_init_cfg,
	.enum_mbus_code = vcam_enum_mbus_code,
	.get_fmt = v4l2_subdev_get_fmt,
	.set_fmt = vcam_set_fmt,
};

static const struct v4l2_subdev_ops vcam_subdev_ops = {
	.pad = &vcam_pad_ops,
};

static const struct media_entity_operations vcam_subdev_entity_ops = {
	.link_validate = v4l2_subdev_link_validate,
};

static int vcam_s_ctrl(struct v4l2_ctrl *ctrl)
{
	return 0; /* the values live in the controls; the capture thread reads the range */
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

static int vcam_subdev_init(struct vcam *cam, struct v4l2_subdev *sd, const char *name, u32 function,
			    struct media_pad *pads, unsigned int n_pads)
{
	unsigned int i;
	int ret;

	v4l2_subdev_init(sd, &vcam_subdev_ops);
	sd->owner = THIS_MODULE;
	sd->flags |= V4L2_SUBDEV_FL_HAS_DEVNODE;
	strscpy(sd->name, name, sizeof(sd->name));
	v4l2_set_subdevdata(sd, cam);
	sd->entity.function = function;
	sd->entity.ops = &vcam_subdev_entity_ops;
	for (i = 0; i < n_pads; i++)
		pads[i].flags = (n_pads == 1 || i > 0) ? MEDIA_PAD_FL_SOURCE : MEDIA_PAD_FL_SINK;
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

static void vcam_destroy(struct vcam *cam)
{
	int i;

	if (!cam)
		return;
	for (i = 0; i < cam->n_extra; i++) {
		media_device_unregister(cam->extra[i]);
		media_device_cleanup(cam->extra[i]);
		kfree(cam->extra[i]);
	}
	media_device_unregister(&cam->mdev);
	if (video_is_registered(&cam->vdev))
		vb2_video_unregister_device(&cam->vdev);
	v4l2_device_unregister_subdev(&cam->sensor);
	v4l2_subdev_cleanup(&cam->sensor);
	if (cam->has_receiver) {
		v4l2_device_unregister_subdev(&cam->receiver);
		v4l2_subdev_cleanup(&cam->receiver);
	}
	v4l2_ctrl_handler_free(&cam->ctrls);
	v4l2_device_unregister(&cam->v4l2_dev);
	media_device_cleanup(&cam->mdev);
	if (cam->adapter.algo)
		i2c_del_adapter(&cam->adapter);
	platform_device_unregister(cam->pdev);
	kfree(cam);
}

static int vcam_create(int index, int family, int n_extra, bool vga, struct vcam **out)
{
	struct vcam *cam;
	char name[V4L2_SUBDEV_NAME_SIZE];
	const char *video_name;
	int ret, i;

	if (family != 2 && family != 3 && family != 5 && family != 6 && family != 7)
		return -EINVAL;
	cam = kzalloc(sizeof(*cam), GFP_KERNEL);
	if (!cam)
		return -ENOMEM;
	*out = cam;
	cam->index = index;
	cam->family = family;
	cam->multiplane = family == 7;
	cam->pixelformat = family == 6 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
	cam->default_size = &vcam_sizes[vga ? 1 : 0];
	cam->width = cam->default_size->width;
	cam->height = cam->default_size->height;
	vcam_geometry(cam);
	cam->frame_rate = 30;
	cam->prepared_offset = -1;
	mutex_init(&cam->lock);
	mutex_init(&cam->chip_lock);
	spin_lock_init(&cam->slock);
	INIT_LIST_HEAD(&cam->queued);

	cam->pdev = platform_device_register_simple("velmora-vcam", index, NULL, 0);
	if (IS_ERR(cam->pdev)) {
		ret = PTR_ERR(cam->pdev);
		cam->pdev = NULL;
		return ret;
	}

	/* The control chip's bus first: the camera's names carry its number. */
	cam->adapter.owner = THIS_MODULE;
	cam->adapter.algo = &vcam_algorithm;
	cam->adapter.dev.parent = &cam->pdev->dev;
	snprintf(cam->adapter.name, sizeof(cam->adapter.name), "velmora-vcam i2c %d", index);
	i2c_set_adapdata(&cam->adapter, cam);
	ret = i2c_add_adapter(&cam->adapter);
	if (ret) {
		cam->adapter.algo = NULL;
		return ret;
	}

	cam->mdev.dev = &cam->pdev->dev;
	strscpy(cam->mdev.model, "velmora-vcam", sizeof(cam->mdev.model));
	snprintf(cam->mdev.bus_info, sizeof(cam->mdev.bus_info), "platform:velmora-vcam.%d", index);
	media_device_init(&cam->mdev);
	cam->v4l2_dev.mdev = &cam->mdev;
	/* Named here: the platform device has no driver to take a name from. */
	snprintf(cam->v4l2_dev.name, sizeof(cam->v4l2_dev.name), "velmora-vcam-%d", index);
	ret = v4l2_device_register(&cam->pdev->dev, &cam->v4l2_dev);
	if (ret)
		return ret;

	v4l2_ctrl_handler_init(&cam->ctrls, 2);
	cam->range = v4l2_ctrl_new_custom(&cam->ctrls, &vcam_range_config, NULL);
	cam->exposure = v4l2_ctrl_new_std(&cam->ctrls, &vcam_ctrl_ops, V4L2_CID_EXPOSURE, 1, 65535, 1, 1000);
	if (cam->ctrls.error)
		return cam->ctrls.error;

	/* The receiver is registered first, so it comes before the sensor in the graph. */
	if (family == 6 || family == 7) {
		unsigned int pads = family == 6 ? 6 : 2;

		cam->receiver_source = family == 6 ? 4 : 1;
		ret = vcam_subdev_init(cam, &cam->receiver, family == 6 ? "csi2" : "rockchip-csi2-dphy1",
				       MEDIA_ENT_F_VID_IF_BRIDGE, cam->receiver_pads, pads);
		if (ret)
			return ret;
		cam->has_receiver = true;
	}
	snprintf(name, sizeof(name), "%svelmora-marquenty %d-000c", family == 7 ? "m00_b_" : "", cam->adapter.nr);
	cam->sensor.ctrl_handler = &cam->ctrls;
	ret = vcam_subdev_init(cam, &cam->sensor, name, MEDIA_ENT_F_CAM_SENSOR, &cam->sensor_pad, 1);
	if (ret)
		return ret;

	switch (family) {
	case 2:
	case 3:
		video_name = NULL; /* "vi-output, <sensor>" below */
		break;
	case 5:
		video_name = "csi-capture-image";
		break;
	case 6:
		video_name = "rp1-cfe-csi2_ch0";
		break;
	default:
		video_name = "mipi-capture0";
		break;
	}
	if (video_name)
		strscpy(cam->vdev.name, video_name, sizeof(cam->vdev.name));
	else
		snprintf(cam->vdev.name, sizeof(cam->vdev.name), "vi-output, %s", name);

	cam->queue.type = cam->multiplane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
	cam->queue.io_modes = VB2_MMAP;
	cam->queue.drv_priv = cam;
	cam->queue.buf_struct_size = sizeof(struct vcam_buffer);
	cam->queue.ops = &vcam_qops;
	cam->queue.mem_ops = &vb2_vmalloc_memops;
	cam->queue.timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
	cam->queue.min_buffers_needed = 2;
	cam->queue.lock = &cam->lock;
	ret = vb2_queue_init(&cam->queue);
	if (ret)
		return ret;

	cam->vdev.fops = &vcam_fops;
	cam->vdev.ioctl_ops = &vcam_ioctl_ops;
	cam->vdev.release = video_device_release_empty;
	cam->vdev.v4l2_dev = &cam->v4l2_dev;
	cam->vdev.queue = &cam->queue;
	cam->vdev.lock = &cam->lock;
	cam->vdev.device_caps = V4L2_CAP_STREAMING |
				(cam->multiplane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE);
	/* Jetson boards take the sensor's controls on the video node. */
	if (family == 2 || family == 3)
		cam->vdev.ctrl_handler = &cam->ctrls;
	cam->video_pad.flags = MEDIA_PAD_FL_SINK | MEDIA_PAD_FL_MUST_CONNECT;
	cam->vdev.entity.ops = &vcam_video_entity_ops;
	ret = media_entity_pads_init(&cam->vdev.entity, 1, &cam->video_pad);
	if (ret)
		return ret;
	video_set_drvdata(&cam->vdev, cam);
	ret = video_register_device(&cam->vdev, VFL_TYPE_VIDEO, -1);
	if (ret)
		return ret;

	if (cam->has_receiver) {
		ret = media_create_pad_link(&cam->sensor.entity, 0, &cam->receiver.entity, 0,
					    MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
		if (!ret)
			/* Disabled until user space enables it, as on the Raspberry Pi 5. */
			ret = media_create_pad_link(&cam->receiver.entity, cam->receiver_source, &cam->vdev.entity, 0,
						    family == 6 ? 0 : MEDIA_LNK_FL_ENABLED);
	} else {
		ret = media_create_pad_link(&cam->sensor.entity, 0, &cam->vdev.entity, 0,
					    MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
	}
	if (ret)
		return ret;
	ret = v4l2_device_register_subdev_nodes(&cam->v4l2_dev);
	if (ret)
		return ret;

	for (i = 0; i < n_extra && i < VCAM_MAX_EXTRA; i++) {
		struct media_device *extra = kzalloc(sizeof(*extra), GFP_KERNEL);

		if (!extra)
			return -ENOMEM;
		extra->dev = &cam->pdev->dev;
		strscpy(extra->model, "velmora-vcam spare", sizeof(extra->model));
		media_device_init(extra);
		ret = media_device_register(extra);
		if (ret) {
			media_device_cleanup(extra);
			kfree(extra);
			return ret;
		}
		cam->extra[cam->n_extra++] = extra;
	}
	return media_device_register(&cam->mdev);
}

/*
 * The cameras' platform devices are bound to this driver: the frameworks
 * reach the module through the device's driver (subdevice opens pin it).
 */
static int vcam_probe(struct platform_device *pdev)
{
	return 0;
}

static int vcam_remove(struct platform_device *pdev)
{
	return 0;
}

static struct platform_driver vcam_driver = {
	.probe = vcam_probe,
	.remove = vcam_remove,
	.driver = { .name = "velmora-vcam" },
};

static void vcam_exit(void)
{
	int i;

	for (i = VCAM_MAX - 1; i >= 0; i--) {
		vcam_destroy(cameras[i]);
		cameras[i] = NULL;
	}
	platform_driver_unregister(&vcam_driver);
}

static int __init vcam_init(void)
{
	int i, ret;

	ret = platform_driver_register(&vcam_driver);
	if (ret)
		return ret;
	for (i = 0; i < n_families; i++) {
		ret = vcam_create(i, families[i], i < n_extra_media ? extra_media[i] : 0,
				  i < n_vga_sensor && vga_sensor[i], &cameras[i]);
		if (ret) {
			pr_err("velmora-vcam: camera %d (family %d) failed: %d\n", i, families[i], ret);
			vcam_exit();
			return ret;
		}
	}
	return 0;
}

module_init(vcam_init);
module_exit(vcam_exit);
MODULE_DESCRIPTION("Virtual Velmora ToF camera for kernel checks");
MODULE_LICENSE("GPL");
