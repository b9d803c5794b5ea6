; Corvantix master boot record template.
;
; Assembled with "nasm -f bin" to exactly 512 bytes. The formatter keeps bytes
; 0..439 (code and messages), then writes the disk signature "CXUB" at 440,
; a zero word at 444 and the partition table at 446; 510..511 hold 55 AA.
;
; Start-up contract:
;   in : BIOS has loaded this sector to 0000:7C00, DL = boot drive.
;   out: the first sector of the active partition is at 0000:7C00 and is
;        entered with DL = boot drive, DS:SI = its partition table entry
;        (in the relocated copy at 0000:0600).
;
; The partition's first sector is read with the BIOS extended read
; (INT 13h AH=42h, LBA from entry offset 8) when INT 13h AH=41h reports it,
; otherwise with the CHS read (AH=02h) using the entry's start CHS bytes
; (entry offsets 1..3). Three attempts are made, with a drive reset between.
;
; Build option -DTEST_NO_EXT: the extension check is treated as failed, so the
; CHS path runs even on a BIOS that has the extensions. It exists only for the
; boot tests (tests/boot/qemu_boot.sh --no-extensions); the product never
; builds with it.

        bits    16
        cpu     386
        org     0x0600

RELOC           equ     0x0600          ; where this sector moves itself
LOAD            equ     0x7c00          ; where the BIOS put us / VBR goes
PART_TABLE      equ     RELOC + 446
CODE_LIMIT      equ     271             ; code + messages must fit in 0..270
TRIES           equ     3

start:
        cli
        cld
        xor     ax, ax
        mov     ss, ax
        mov     ds, ax
        mov     bp, LOAD
        mov     sp, bp
        mov     es, ax
        sti
        mov     si, bp
        mov     di, RELOC
        mov     cx, 256
        rep     movsw
        jmp     0:relocated             ; continue in the copy

relocated:
        mov     si, PART_TABLE          ; CX = 0 after the copy
        mov     cl, 4
.scan:
        cmp     byte [si], 0x80
        je      found
        add     si, 16
        loop    .scan
        mov     si, msg_no_active
        jmp     short die

found:
        mov     di, TRIES
try_read:
        push    dx                      ; some BIOSes change DH on AH=41h
        mov     ah, 0x41
        mov     bx, 0x55aa
        int     0x13
        pop     dx
%ifdef TEST_NO_EXT
        stc                             ; test build: act as if not present
%endif
        jc      chs_read
        cmp     bx, 0xaa55
        jne     chs_read
        test    cl, 1                   ; bit 0: packet (AH=42h) access
        jz      chs_read

        push    si                      ; keep the entry pointer
        push    dword 0                 ; LBA bits 32..63
        push    dword [si + 8]          ; LBA bits 0..31 = partition start
        push    ds                      ; buffer segment 0
        push    bp                      ; buffer offset 7C00
        push    byte 1                  ; one sector
        push    byte 16                 ; packet size
        mov     si, sp
        mov     ah, 0x42
        int     0x13
        lea     sp, [si + 16]           ; drop the packet, keep CF
        pop     si
        jmp     short read_done

chs_read:
        mov     dh, [si + 1]            ; head
        mov     cx, [si + 2]            ; CL = sector | cyl bits 8..9, CH = cyl
        mov     bx, bp
        mov     ax, 0x0201
        int     0x13

read_done:
        jnc     loaded
        xor     ax, ax                  ; reset the drive and try again
        int     0x13
        dec     di
        jnz     try_read
        mov     si, msg_read_error
        jmp     short die

loaded:
        cmp     word [LOAD + 510], 0xaa55
        mov     bx, msg_bad_sig
        jne     die_bx
        jmp     0:LOAD                  ; DL = drive, DS:SI = entry

die_bx:
        mov     si, bx
die:                                    ; print the NUL-terminated text at SI, halt
        lodsb
        test    al, al
        jz      halt
        mov     ah, 0x0e
        mov     bx, 7
        int     0x10
        jmp     short die
halt:
        hlt
        jmp     short halt

msg_no_active:  db      "no active partition found", 0
msg_read_error: db      "read error while reading drive", 0
msg_bad_sig:    db      "partition signature != 55AA", 0

%if ($ - $$) > CODE_LIMIT
%error "MBR code and messages exceed 271 bytes"
%endif
code_end:
        times   440 - ($ - $$) db 0     ; zero up to the disk signature
        times   510 - ($ - $$) db 0     ; signature, table: written by the formatter
        dw      0xaa55
