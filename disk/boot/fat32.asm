; Corvantix FAT32 boot record template.
;
; Assembled with "nasm -f bin" to exactly 512 bytes. The formatter fills the
; BIOS parameter block (bytes 11..89) and keeps everything else:
;     0  EB 58 90            jump to the code at 90
;     3  "FreeDOS "          OEM name
;    11  BPB (zero here)
;    90  code (at most 359 bytes, up to 448)
;   449  "Loading FreeDOS "  then a NUL at 465
;   494  "No "               error text, continued by the file name
;   497  "KERNEL  SYS"       directory name searched for, NUL at 508
;   510  55 AA
;
; What the code does: store the BIOS drive (DL) in the drive number field,
; move this sector and the stack to NEWSEG:7C00 (linear 27A00h) so that the
; kernel may overwrite 0000:7C00, print "Loading FreeDOS ", find KERNEL.SYS
; in the root directory (following the root's cluster chain), load the whole
; file cluster by cluster along the FAT chain to 0060:0000 and jump there
; with BL = DL = drive. All reads use INT 13h AH=42h, three attempts each.
; If the file is missing or a read fails, it prints "No KERNEL  SYS" (so the
; screen shows "Loading FreeDOS No KERNEL  SYS"), waits for a key and calls
; INT 19h.
;
; Geometry of the volume comes only from the BPB:
;   FAT start    = HiddSec + RsvdSecCnt
;   cluster c at = HiddSec + RsvdSecCnt + NumFATs * FATSz32 + (c - 2) * SecPerClus
; A directory cluster is scanned after it is loaded at LOADSEG:0, so clusters
; up to 32 KiB are handled.

        bits    16
        cpu     386
        org     0x7c00

BASE            equ     0x7c00
NEWSEG          equ     0x1fe0          ; NEWSEG:BASE = linear 27A00h
LOADSEG         equ     0x0060          ; kernel (and directory scan) buffer
FATBUF          equ     BASE + 512      ; cached FAT sector, NEWSEG:7E00
CODE_END        equ     449

; BPB fields, addressed through BP = BASE
%define BytsPerSec      bp + 11
%define SecPerClus      bp + 13
%define RsvdSecCnt      bp + 14
%define NumFATs         bp + 16
%define HiddSec         bp + 28
%define FATSz32         bp + 36
%define RootClus        bp + 44
%define DrvNum          bp + 64

; variables, pushed right below BASE once the stack is set up
%define DataLBA         bp - 4          ; first sector of cluster 2
%define FatLBA          bp - 8          ; first FAT sector
%define FatCached       bp - 12         ; FAT sector held in FATBUF

        jmp     short start
        nop
        db      "FreeDOS "
        times   90 - ($ - $$) db 0      ; BPB: filled in by the formatter

start:
        cld
        cli
        sub     ax, ax
        mov     ds, ax
        mov     bp, BASE
        mov     [DrvNum], dl
        mov     ax, NEWSEG              ; move sector and stack out of the
        mov     es, ax                  ; kernel's way
        mov     ss, ax
        mov     sp, bp
        mov     si, bp
        mov     di, bp
        mov     cx, 256
        rep     movsw
        mov     ds, ax
        jmp     NEWSEG:moved

moved:
        sti
        mov     si, msg_loading
        call    print

        movzx   eax, byte [NumFATs]
        mul     dword [FATSz32]
        movzx   ecx, word [RsvdSecCnt]
        add     ecx, [HiddSec]
        add     eax, ecx
        push    eax                     ; DataLBA
        push    ecx                     ; FatLBA
        push    dword -1                ; FatCached: nothing yet

        mov     eax, [RootClus]
dir_cluster:
        push    word LOADSEG
        pop     es
        call    read_cluster            ; ES is now past the cluster
        mov     dx, es
        sub     dx, LOADSEG
        shl     dx, 4                   ; DX = bytes in a cluster
        push    word LOADSEG
        pop     es
        xor     di, di
.entry:
        mov     si, kernel_name
        mov     cx, 11
        push    di
        repe    cmpsb
        pop     di
        je      found
        cmp     byte [es:di], 0         ; end of directory
        je      fail
        add     di, 32
        cmp     di, dx
        jb      .entry
        call    next_cluster
        jb      dir_cluster
        jmp     fail

found:
        push    word [es:di + 0x14]     ; first cluster, high word
        push    word [es:di + 0x1a]     ; first cluster, low word
        pop     eax
        push    word LOADSEG
        pop     es
.load:
        call    read_cluster
        call    next_cluster
        jb      .load

        mov     dl, [DrvNum]
        mov     bl, dl
        jmp     LOADSEG:0

; read_cluster: EAX = cluster. Reads its sectors to ES:0, ES:0 + one sector,
; ... advancing ES by one sector per read (crosses 64 KiB boundaries freely).
; Keeps all general registers.
read_cluster:
        pushad
        dec     eax
        dec     eax
        movzx   ecx, byte [SecPerClus]
        mul     ecx
        add     eax, [DataLBA]
.sector:
        xor     bx, bx
        call    read_sector
        inc     eax
        mov     bx, [BytsPerSec]
        shr     bx, 4
        mov     dx, es
        add     dx, bx
        mov     es, dx
        loop    .sector
        popad
        ret

; next_cluster: EAX = cluster -> EAX = next cluster from the FAT (top four
; bits cleared). CF set while the chain goes on (EAX < 0FFFFFF8h).
; Changes BX, ECX, EDX, SI; keeps ES.
next_cluster:
        push    es
        push    ds
        pop     es
        shl     eax, 2                  ; byte offset of the entry in the FAT
        movzx   ecx, word [BytsPerSec]
        xor     edx, edx
        div     ecx                     ; EAX = FAT sector, EDX = offset
        add     eax, [FatLBA]
        cmp     eax, [FatCached]
        je      .cached
        mov     [FatCached], eax
        mov     bx, FATBUF
        call    read_sector
.cached:
        mov     si, dx
        mov     eax, [si + FATBUF]
        and     eax, 0x0fffffff
        pop     es
        cmp     eax, 0x0ffffff8
        ret

; read_sector: EAX = LBA, ES:BX = buffer. One sector through a disk address
; packet on the stack; three attempts with a drive reset in between. Keeps
; all general registers; on failure ends in "No KERNEL  SYS".
read_sector:
        pushad
        push    dword 0                 ; LBA bits 32..63
        push    eax                     ; LBA bits 0..31
        push    es
        push    bx
        push    byte 1                  ; sector count
        push    byte 16                 ; packet size
        mov     si, sp
        mov     di, 3
.try:
        mov     byte [si + 2], 1        ; a failed call may change the count
        mov     dl, [DrvNum]
        mov     ah, 0x42
        int     0x13
        jnc     .done
        mov     ah, 0                   ; reset the drive and retry
        int     0x13
        dec     di
        jnz     .try
        jmp     short fail
.done:
        add     sp, 16                  ; drop the packet
        popad
        ret

fail:
        mov     si, msg_no_kernel
        call    print
        mov     ah, 0
        int     0x16                    ; wait for a key
        int     0x19                    ; and try to boot again

; print: NUL-terminated text at DS:SI via INT 10h AH=0Eh.
print:
        lodsb
        test    al, al
        jz      .done
        mov     ah, 0x0e
        mov     bx, 7
        int     0x10
        jmp     short print
.done:
        ret

%if ($ - $$) > CODE_END
%error "boot code runs past offset 448"
%endif
        times   CODE_END - ($ - $$) db 0
msg_loading:
        db      "Loading FreeDOS ", 0
        times   494 - ($ - $$) db 0
msg_no_kernel:
        db      "No "
kernel_name:
        db      "KERNEL  SYS", 0
%if ($ - $$) != 509
%error "fixed texts are out of place"
%endif
        db      0
        dw      0xaa55
