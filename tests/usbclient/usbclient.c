/* A plain libusb program, written as any libusb client would be: it lists devices, reads
 * descriptors and strings by control transfers, finds the DFU functional descriptor in
 * the interface's extra bytes, and uploads one block. The tests run it with the
 * simulated devices preloaded in place of libusb. Exit code 0 when every step worked. */

#include <libusb.h>

#include <stdio.h>
#include <string.h>

static int fail(const char *what, int r)
{
    fprintf(stderr, "usbclient: %s: %s\n", what, libusb_error_name(r));
    return 1;
}

static void print_string(libusb_device_handle *h, uint16_t lang, uint8_t index, const char *label)
{
    unsigned char buf[255];
    int r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    (uint16_t)((LIBUSB_DT_STRING << 8) | index), lang, buf, sizeof buf, 1000);
    printf("%s: ", label);
    for (int i = 2; r >= 2 && i + 1 < buf[0] && i + 1 < r; i += 2)
        putchar(buf[i + 1] ? '?' : buf[i]);
    putchar('\n');
}

int main(void)
{
    libusb_context *ctx = NULL;
    int r = libusb_init(&ctx);
    if (r < 0)
        return fail("init", r);
    libusb_device **list;
    ssize_t n = libusb_get_device_list(ctx, &list);
    printf("devices: %zd\n", n);
    int uploaded = 0;
    for (ssize_t i = 0; i < n; ++i) {
        struct libusb_device_descriptor d;
        if ((r = libusb_get_device_descriptor(list[i], &d)) < 0)
            return fail("device descriptor", r);
        printf("device %04x:%04x bus %u address %u\n", d.idVendor, d.idProduct, libusb_get_bus_number(list[i]),
               libusb_get_device_address(list[i]));
        struct libusb_config_descriptor *config;
        if ((r = libusb_get_active_config_descriptor(list[i], &config)) < 0)
            return fail("config descriptor", r);
        const struct libusb_interface *iface = &config->interface[0];
        int transfer = 0;
        for (int a = 0; a < iface->num_altsetting; ++a) {
            const struct libusb_interface_descriptor *alt = &iface->altsetting[a];
            for (int e = 0; e + 1 < alt->extra_length; e += alt->extra[e]) {
                if (alt->extra[e] == 0)
                    break;
                if (alt->extra[e + 1] == 0x21 && alt->extra[e] >= 9) {
                    transfer = alt->extra[e + 5] | (alt->extra[e + 6] << 8);
                    printf("functional: attributes 0x%02x transfer %d version 0x%04x\n", alt->extra[e + 2], transfer,
                           alt->extra[e + 7] | (alt->extra[e + 8] << 8));
                }
            }
        }
        libusb_device_handle *h;
        if ((r = libusb_open(list[i], &h)) < 0)
            return fail("open", r);
        unsigned char langs[8];
        r = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0,
                                    langs, sizeof langs, 1000);
        if (r < 4)
            return fail("language ids", r < 0 ? r : LIBUSB_ERROR_IO);
        const uint16_t lang = (uint16_t)(langs[2] | (langs[3] << 8));
        print_string(h, lang, d.iManufacturer, "manufacturer");
        print_string(h, lang, d.iProduct, "product");
        for (int a = 0; a < iface->num_altsetting; ++a)
            print_string(h, lang, iface->altsetting[a].iInterface, "alternate");
        unsigned char ascii[64];
        if ((r = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, ascii, sizeof ascii)) < 0)
            return fail("serial", r);
        printf("serial: %s\n", ascii);

        if ((r = libusb_claim_interface(h, 0)) < 0)
            return fail("claim", r);
        const int last = iface->num_altsetting - 1;
        if ((r = libusb_set_interface_alt_setting(h, 0, last)) < 0)
            return fail("alt setting", r);
        /* Set Address Pointer to the start of the flash, then one UPLOAD of a block. */
        unsigned char set[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
        if ((r = libusb_control_transfer(h, 0x21, 1, 0, 0, set, 5, 1000)) < 0)
            return fail("set address", r);
        unsigned char status[6];
        for (int k = 0; k < 2; ++k)
            if ((r = libusb_control_transfer(h, 0xA1, 3, 0, 0, status, 6, 1000)) < 0)
                return fail("status", r);
        if ((r = libusb_control_transfer(h, 0x21, 6, 0, 0, NULL, 0, 1000)) < 0)
            return fail("abort", r);
        unsigned char block[2048];
        memset(block, 0, sizeof block);
        if ((r = libusb_control_transfer(h, 0xA1, 2, 2, 0, block, transfer ? transfer : 2048, 1000)) < 0)
            return fail("upload", r);
        printf("uploaded %d bytes, first 0x%02x\n", r, block[0]);
        uploaded += r;
        libusb_release_interface(h, 0);
        libusb_close(h);
        libusb_free_config_descriptor(config);
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return n > 0 && uploaded > 0 ? 0 : 1;
}
