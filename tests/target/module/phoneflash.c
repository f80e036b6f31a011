// SPDX-License-Identifier: GPL-2.0
/*
 * phoneflash: the telephone's flash as its own kernel gives it, on a stock
 * kernel, for the target check.
 *
 * - The ten partitions: added with mtd_add_partition over the whole-chip
 *   MTD device `chip` (phram), at the windows of the boot environment's
 *   mtd0..mtd9 variables, as the boot loader passes them to the kernel.
 *   The chip device takes a number first, so partition N is /dev/mtd(N+1).
 * - The two partition requests the telephone's mtdchar answers: the query
 *   (MTD_REPAIR_QUERY, 0 = supported) and the move (MTD_ADDR_REPAIR),
 *   which gives the opened partition a new window in place, under the
 *   master's partition lock. mtdchar cannot be extended (its operations are
 *   static and unknown requests get -ENOTTY), so this module takes major 90
 *   over with a copy of mtdchar's operations, its own ioctl and write in
 *   front.
 * - /proc/avalanche/env: "NAME VALUE" lines set a variable, "NAME" alone
 *   removes it, reading gives every variable. It is kept as text in the
 *   state area of `state` (physical memory the kernel leaves alone, beside
 *   the chip), so that it outlives a power cut like the chip.
 * - Power cuts: flash operations are numbered from 1 over a boot (each
 *   erase, each write request, each move, each environment line); at
 *   operation `cut_at` the operation takes the first half of its effect
 *   (an erase sets half its range to 0xFF, a write programs the first half
 *   of its bytes, clearing bits only; a move or a line does nothing), the
 *   state area records the cut, and the machine restarts at once (QEMU ends
 *   under -no-reboot).
 *
 * /proc/phoneflash/ops lists this boot's operations ("N KIND MTD OFFSET
 * LENGTH"; MTD -1 for a line) and /proc/phoneflash/layout the partition
 * table ("mtdN 0xSTART 0xEND"), for the host to compare with phonesim.
 *
 * The state area: a 16-byte header ("phoneflash v1\n" and a NUL, then the
 * cut record "cut N KIND\n" or nothing, NUL-terminated, in the first 4 KiB),
 * and from 4 KiB the environment text, NUL-terminated.
 */
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/partitions.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/reboot.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <mtd/mtd-abi.h>

#define PARTITIONS 10
#define ERASE_SIZE 0x10000u
#define CHIP_SIZE 0x800000u
#define STATE_SIZE 0x10000u
#define ENV_AT 0x1000u
#define MAX_OPS 16384
#define MTD_CHAR_MAJOR 90

struct repair_info {
	__u32 offset; /* into the chip */
	__u32 size;
};
#define MTD_REPAIR_QUERY _IOR('M', 0x12, int)
#define MTD_ADDR_REPAIR _IOW('M', 0x11, struct repair_info)

static char *chip = "chip";
module_param(chip, charp, 0444);
MODULE_PARM_DESC(chip, "name of the whole-chip MTD device");
static unsigned long state;
module_param(state, ulong, 0444);
MODULE_PARM_DESC(state, "physical address of the 64 KiB state area");
static unsigned int flash_base = 0x90000000u;
module_param(flash_base, uint, 0444);
MODULE_PARM_DESC(flash_base, "address of the chip in the boot environment's windows");
static int cut_at;
module_param(cut_at, int, 0444);
MODULE_PARM_DESC(cut_at, "cut the power during this flash operation (from 1; 0 never)");

struct op {
	char kind; /* e, w, m, v */
	signed char mtd;
	u32 offset, length;
};

static struct mtd_info *master;
static struct mtd_info *parts[PARTITIONS];
static char *area;	/* the state area */
static char *env;	/* area + ENV_AT */
static struct op *ops;
static int op_count;
static DEFINE_MUTEX(lock);	/* operations, the environment */
static const struct file_operations *mtdchar_fops;
static struct file_operations fops;
static struct proc_dir_entry *avalanche, *own;

static const char *kind_name(char kind)
{
	switch (kind) {
	case 'e': return "erase";
	case 'w': return "write";
	case 'm': return "move";
	default: return "env";
	}
}

/* Numbers an operation; true when the power fails during it. */
static bool operation(char kind, int mtd, u32 offset, u32 length)
{
	if (op_count < MAX_OPS) {
		ops[op_count].kind = kind;
		ops[op_count].mtd = mtd;
		ops[op_count].offset = offset;
		ops[op_count].length = length;
	}
	return ++op_count == cut_at;
}

static void __noreturn power_off_now(char kind)
{
	snprintf(area + 16, ENV_AT - 16, "cut %d %s\n", op_count, kind_name(kind));
	wmb();
	pr_emerg("phoneflash: power cut during operation %d (%s)\n", op_count, kind_name(kind));
	emergency_restart();
	for (;;)
		cpu_relax();
}

static int part_of(struct mtd_info *mtd)
{
	int p;

	for (p = 0; p < PARTITIONS; ++p)
		if (parts[p] == mtd)
			return p;
	return -1;
}

/* The partition of a file of major 90: mtdchar's private record starts with it. */
static struct mtd_info *file_mtd(struct file *file)
{
	return *(struct mtd_info **)file->private_data;
}

/* Half of an erase: bytes to 0xFF through the chip's driver (phram copies). */
static void half_erase(struct mtd_info *mtd, u32 start, u32 length)
{
	u8 *ones = kmalloc(ERASE_SIZE, GFP_KERNEL);
	size_t done;

	if (!ones)
		return;
	memset(ones, 0xFF, ERASE_SIZE);
	while (length > 0) {
		u32 n = min(length, ERASE_SIZE);

		if (mtd_write(mtd, start, n, &done, ones) || done != n)
			break;
		start += n;
		length -= n;
	}
	kfree(ones);
}

/* Half of a write: the bytes programmed as NOR does, bits only going 1 -> 0. */
static void half_write(struct mtd_info *mtd, loff_t at, const char __user *buf, size_t n)
{
	u8 *want = vmalloc(n ? n : 1), *have = vmalloc(n ? n : 1);
	size_t done, i;

	if (want && have && !copy_from_user(want, buf, n) &&
	    !mtd_read(mtd, at, n, &done, have) && done == n) {
		for (i = 0; i < n; ++i)
			have[i] &= want[i];
		if (mtd_write(mtd, at, n, &done, have) || done != n)
			pr_err("phoneflash: the cut write did not store its half\n");
	}
	vfree(want);
	vfree(have);
}

static ssize_t flash_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
	struct mtd_info *mtd = file_mtd(file);
	int p = part_of(mtd);
	u32 length;

	/* Requests mtdchar refuses or that store nothing are not operations. */
	if (p < 0 || count == 0 || *ppos < 0 || *ppos >= mtd->size)
		return mtdchar_fops->write(file, buf, count, ppos);
	length = (u32)min_t(u64, count, mtd->size - *ppos);
	mutex_lock(&lock);
	if (operation('w', p, (u32)*ppos, length)) {
		half_write(mtd, *ppos, buf, length / 2);
		power_off_now('w');
	}
	mutex_unlock(&lock);
	return mtdchar_fops->write(file, buf, count, ppos);
}

static long move_partition(struct mtd_info *mtd, int p, unsigned long arg)
{
	struct repair_info r;

	if (copy_from_user(&r, (void __user *)arg, sizeof(r)))
		return -EFAULT;
	if (r.size == 0 || r.offset % ERASE_SIZE || r.size % ERASE_SIZE ||
	    (u64)r.offset + r.size > CHIP_SIZE || (u64)r.offset + r.size > master->size)
		return -EINVAL;
	mutex_lock(&lock);
	if (operation('m', p, r.offset, r.size))
		power_off_now('m');
	mutex_unlock(&lock);
	mutex_lock(&master->master.partitions_lock);
	mtd->part.offset = r.offset;
	mtd->part.size = r.size;
	mtd->size = r.size;
	mutex_unlock(&master->master.partitions_lock);
	pr_info("phoneflash: mtd%d moved to 0x%08x,0x%08x\n", p, flash_base + r.offset,
		flash_base + r.offset + r.size);
	return 0;
}

static long flash_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct mtd_info *mtd = file_mtd(file);
	int p = part_of(mtd);
	struct erase_info_user e;

	if (p < 0)
		return mtdchar_fops->unlocked_ioctl(file, cmd, arg);
	switch (cmd) {
	case MTD_REPAIR_QUERY:
		return 0;
	case MTD_ADDR_REPAIR:
		if (!(file->f_mode & FMODE_WRITE))
			return -EPERM;
		return move_partition(mtd, p, arg);
	case MEMERASE:
		if (!(file->f_mode & FMODE_WRITE))
			break;
		if (copy_from_user(&e, (void __user *)arg, sizeof(e)))
			return -EFAULT;
		if (e.length == 0 || e.start % ERASE_SIZE || e.length % ERASE_SIZE ||
		    (u64)e.start + e.length > mtd->size)
			break; /* refused by mtdchar, not an operation */
		mutex_lock(&lock);
		if (operation('e', p, e.start, e.length)) {
			half_erase(mtd, e.start, e.length / 2);
			power_off_now('e');
		}
		mutex_unlock(&lock);
		break;
	}
	return mtdchar_fops->unlocked_ioctl(file, cmd, arg);
}

/* --- the boot environment -------------------------------------------------- */

static bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r';
}

/*
 * Applies one line (trailing blanks gone, not blank) to the text: a value
 * replaces the variable's, none removes it, a new name goes last. false
 * when the result would not fit the area.
 */
static bool apply_line(const char *line, size_t len)
{
	const size_t room = STATE_SIZE - ENV_AT;
	size_t start = 0, name_len, value_len, out = 0;
	const char *name, *value = "";
	char *next, *cur;
	bool seen = false;

	while (start < len && is_blank(line[start]))
		++start;
	name = line + start;
	name_len = 0;
	while (start + name_len < len && line[start + name_len] != ' ' && line[start + name_len] != '\t')
		++name_len;
	if (start + name_len < len) {
		value = name + name_len + 1;
		value_len = len - (start + name_len + 1);
	} else {
		value_len = 0;
	}
	next = kmalloc(room, GFP_KERNEL);
	if (!next)
		return false;
	for (cur = env; *cur;) {
		char *end = strchrnul(cur, '\n');
		size_t n = end - cur, vn = strcspn(cur, " \t\n");
		bool match = vn == name_len && !memcmp(cur, name, name_len);

		if (match) {
			seen = true;
			if (value_len) {
				if (out + name_len + 1 + value_len + 2 > room)
					goto full;
				out += scnprintf(next + out, room - out, "%.*s %.*s\n", (int)name_len, name,
						 (int)value_len, value);
			}
		} else {
			if (out + n + 2 > room)
				goto full;
			memcpy(next + out, cur, n);
			out += n;
			next[out++] = '\n';
		}
		cur = *end ? end + 1 : end;
	}
	if (!seen && value_len) {
		if (out + name_len + 1 + value_len + 2 > room)
			goto full;
		out += scnprintf(next + out, room - out, "%.*s %.*s\n", (int)name_len, name,
				 (int)value_len, value);
	}
	next[out] = '\0';
	memcpy(env, next, out + 1);
	kfree(next);
	return true;
full:
	kfree(next);
	return false;
}

static ssize_t env_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
	char *text, *line, *cur;
	ssize_t result = count;

	/* More than the whole environment holds is no set of lines for it. */
	if (count > STATE_SIZE - ENV_AT)
		return -EFBIG;
	text = memdup_user_nul(buf, count);
	if (IS_ERR(text))
		return PTR_ERR(text);
	mutex_lock(&lock);
	for (cur = text; cur && *cur; cur = line) {
		size_t len, start = 0;

		line = strchr(cur, '\n');
		if (line)
			*line++ = '\0';
		len = strlen(cur);
		while (len > 0 && is_blank(cur[len - 1]))
			--len;
		while (start < len && is_blank(cur[start]))
			++start;
		if (start == len)
			continue;
		if (operation('v', -1, 0, 0))
			power_off_now('v');
		if (!apply_line(cur, len)) {
			result = -ENOSPC;
			break;
		}
	}
	mutex_unlock(&lock);
	kfree(text);
	return result;
}

static ssize_t env_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	ssize_t n;

	mutex_lock(&lock);
	n = simple_read_from_buffer(buf, count, ppos, env, strlen(env));
	mutex_unlock(&lock);
	return n;
}

static const struct proc_ops env_ops = {
	.proc_read = env_read,
	.proc_write = env_write,
	.proc_lseek = default_llseek,
};

/* --- what the host reads ------------------------------------------------------ */

static int ops_show(struct seq_file *m, void *v)
{
	int i;

	mutex_lock(&lock);
	for (i = 0; i < op_count && i < MAX_OPS; ++i)
		seq_printf(m, "%d %s %d %u %u\n", i + 1, kind_name(ops[i].kind), ops[i].mtd,
			   ops[i].offset, ops[i].length);
	mutex_unlock(&lock);
	return 0;
}

static int layout_show(struct seq_file *m, void *v)
{
	int p;

	mutex_lock(&master->master.partitions_lock);
	for (p = 0; p < PARTITIONS; ++p)
		seq_printf(m, "mtd%d 0x%08llx 0x%08llx\n", p, flash_base + parts[p]->part.offset,
			   flash_base + parts[p]->part.offset + parts[p]->part.size);
	mutex_unlock(&master->master.partitions_lock);
	return 0;
}

/* --- loading --------------------------------------------------------------------- */

/* The window of variable mtdN in the environment: "START,END" in hex. */
static int env_window(int n, u32 *start, u32 *end)
{
	char name[8], *cur;

	snprintf(name, sizeof(name), "mtd%d", n);
	for (cur = env; *cur;) {
		char *eol = strchrnul(cur, '\n'), value[40], *comma;
		size_t vn = strcspn(cur, " \t\n");

		if (vn == strlen(name) && !memcmp(cur, name, vn) && eol - cur - vn - 1 < sizeof(value)) {
			memcpy(value, cur + vn + 1, eol - cur - vn - 1);
			value[eol - cur - vn - 1] = '\0';
			comma = strchr(value, ',');
			if (!comma)
				return -EINVAL;
			*comma = '\0';
			if (kstrtou32(value, 16, start) || kstrtou32(comma + 1, 16, end))
				return -EINVAL;
			return 0;
		}
		cur = *eol ? eol + 1 : eol;
	}
	return -ENOENT;
}

static int add_partitions(void)
{
	int n, err;

	for (n = 0; n < PARTITIONS; ++n) {
		char name[8];
		u32 start, end;

		err = env_window(n, &start, &end);
		if (err || start < flash_base || end <= start || end - flash_base > CHIP_SIZE ||
		    (start - flash_base) % ERASE_SIZE || (end - flash_base) % ERASE_SIZE) {
			pr_err("phoneflash: no valid window mtd%d in the boot environment\n", n);
			return -EINVAL;
		}
		snprintf(name, sizeof(name), "mtd%d", n);
		err = mtd_add_partition(master, name, start - flash_base, end - start);
		if (err)
			return err;
		parts[n] = get_mtd_device_nm(name);
		if (IS_ERR(parts[n]))
			return PTR_ERR(parts[n]);
	}
	return 0;
}

/* mtdchar's operations, found through the chip's own device node. */
static int take_major(void)
{
	char path[32];
	struct file *f;

	snprintf(path, sizeof(path), "/dev/mtd%d", master->index);
	f = filp_open(path, O_RDONLY, 0);
	if (IS_ERR(f))
		return PTR_ERR(f);
	mtdchar_fops = f->f_op;
	filp_close(f, NULL);
	fops = *mtdchar_fops;
	fops.owner = THIS_MODULE;
	fops.write = flash_write;
	fops.unlocked_ioctl = flash_ioctl;
	__unregister_chrdev(MTD_CHAR_MAJOR, 0, 1 << MINORBITS, "mtd");
	return __register_chrdev(MTD_CHAR_MAJOR, 0, 1 << MINORBITS, "mtd", &fops);
}

static int __init phoneflash_init(void)
{
	int err;

	if (!state)
		return -EINVAL;
	area = memremap(state, STATE_SIZE, MEMREMAP_WB);
	if (!area)
		return -ENOMEM;
	env = area + ENV_AT;
	if (memcmp(area, "phoneflash v1\n", 15) || !memchr(env, '\0', STATE_SIZE - ENV_AT)) {
		pr_err("phoneflash: no state area at 0x%lx\n", state);
		err = -EINVAL;
		goto unmap;
	}
	area[16] = '\0'; /* the next boot forgets the cut */
	ops = vzalloc(sizeof(*ops) * MAX_OPS);
	master = get_mtd_device_nm(chip);
	if (!ops || IS_ERR(master)) {
		err = ops ? PTR_ERR(master) : -ENOMEM;
		goto unmap;
	}
	if (master->size != CHIP_SIZE || master->erasesize != ERASE_SIZE) {
		pr_err("phoneflash: %s is not an 8 MiB chip of 64 KiB blocks\n", chip);
		err = -EINVAL;
		goto unmap;
	}
	err = add_partitions();
	if (!err)
		err = take_major();
	if (err)
		goto unmap;
	avalanche = proc_mkdir("avalanche", NULL);
	own = proc_mkdir("phoneflash", NULL);
	if (!avalanche || !own || !proc_create("env", 0666, avalanche, &env_ops) ||
	    !proc_create_single("ops", 0444, own, ops_show) ||
	    !proc_create_single("layout", 0444, own, layout_show)) {
		err = -ENOMEM;
		goto unmap;
	}
	pr_info("phoneflash: 10 partitions on %s, cut at %d\n", chip, cut_at);
	return 0;
unmap:
	/* The partitions stay: the guest stops when loading fails. */
	proc_remove(own);
	proc_remove(avalanche);
	memunmap(area);
	return err;
}
module_init(phoneflash_init);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("The telephone's partition requests, boot environment and power cuts on a stock kernel");
